#include "engine/utf8.hpp"

namespace vc {
namespace {

// Length of the longest valid prefix of a sequence starting at `pos`, with `complete` set
// when that prefix is a whole code point. Follows the well-formed byte table of Unicode
// (no overlongs, no surrogates, nothing above U+10FFFF).
std::size_t valid_prefix(std::string_view s, std::size_t pos, bool& complete) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(pos);
    complete = false;
    if (lead < 0x80) {
        complete = true;
        return 1;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    std::size_t len = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (pos + len >= s.size()) return len;
        const unsigned char b = byte(pos + len);
        if (b < lo || b > hi) return len;
        lo = 0x80;
        hi = 0xBF;
        ++len;
    }
    complete = true;
    return len;
}

// Where the last character of `bytes` starts: bytes that are valid on both sides of a cut
// there are valid together, and the other way round.
std::size_t last_character_start(std::string_view bytes) {
    // A character is at most four bytes: its lead byte and up to three continuation bytes.
    for (std::size_t back = 1; back <= 4 && back <= bytes.size(); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((byte & 0xC0) != 0x80) return bytes.size() - back;
    }
    return bytes.size();  // four continuation bytes in a row are invalid wherever it is cut
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        bool complete;
        const std::size_t len = valid_prefix(bytes, pos, complete);
        if (!complete) return false;
        pos += len;
    }
    return true;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        bool complete;
        const std::size_t len = valid_prefix(bytes, pos, complete);
        if (complete) {
            out.append(bytes.substr(pos, len));
            pos += len;
        } else {
            out.append("\xEF\xBF\xBD");
            pos += len == 0 ? 1 : len;
        }
    }
    return out;
}

std::string path_text(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

std::optional<char32_t> next_code_point(std::string_view text, std::size_t& pos) {
    bool complete;
    const std::size_t len = valid_prefix(text, pos, complete);
    if (!complete) {
        pos += len == 0 ? 1 : len;
        return std::nullopt;
    }
    const auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[pos + i])); };
    char32_t cp;
    switch (len) {
        case 1: cp = b(0); break;
        case 2: cp = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F); break;
        case 3: cp = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F); break;
        default:
            cp = ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
    pos += len;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::size_t utf8_whole_characters(std::string_view bytes) {
    const std::size_t last = last_character_start(bytes);
    if (last == bytes.size()) return last;
    bool complete;
    const std::size_t length = valid_prefix(bytes, last, complete);
    return complete && last + length == bytes.size() ? bytes.size() : last;
}

void Utf8Check::add(char byte) {
    constexpr std::size_t kPiece = 4096;
    pending_.push_back(byte);
    if (pending_.size() < kPiece) return;
    const std::size_t cut = last_character_start(pending_);
    valid_ = valid_ && is_valid_utf8(std::string_view(pending_).substr(0, cut));
    pending_.erase(0, cut);
}

bool Utf8Check::valid() const { return valid_ && is_valid_utf8(pending_); }

}  // namespace vc
