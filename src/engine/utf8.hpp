// UTF-8 text handling shared by every part that shows bytes from outside as text: paths,
// ffmpeg's output, environment values. Decoding follows the Unicode "maximal subpart"
// practice: every maximal invalid subsequence becomes one U+FFFD.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vc {

bool is_valid_utf8(std::string_view bytes);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// A path's text form: its bytes read as UTF-8, lossily.
std::string path_text(const std::filesystem::path& path);

// Decodes one code point at `pos` of valid UTF-8 and advances `pos`. Returns nullopt (and
// advances by one byte) on an invalid sequence.
std::optional<char32_t> next_code_point(std::string_view text, std::size_t& pos);

void append_utf8(std::string& out, char32_t code_point);

// Where bytes may be cut so that the part before holds only whole characters: at their end
// when their last character is complete, else before its start. Bytes that are valid on both
// sides of the cut are valid together, and the other way round.
std::size_t utf8_whole_characters(std::string_view bytes);

// Whether a text that arrives byte by byte, too long to be kept whole (a line with no end
// in sight), is valid UTF-8; it holds a few kilobytes at most.
class Utf8Check {
public:
    void add(char byte);
    // The verdict on every byte added, taken as one complete text.
    bool valid() const;

private:
    std::string pending_;
    bool valid_ = true;
};

}  // namespace vc
