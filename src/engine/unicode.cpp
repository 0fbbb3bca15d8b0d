#include "engine/unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>

#include <memory>

#include "engine/utf8.hpp"

namespace vc {

bool is_white_space(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

bool is_alphanumeric(char32_t c) {
    const auto cp = static_cast<UChar32>(c);
    if (u_hasBinaryProperty(cp, UCHAR_ALPHABETIC)) return true;
    const auto type = u_charType(cp);
    return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t next = begin;
        const auto c = next_code_point(text, next);
        if (!c || !is_white_space(*c)) break;
        begin = next;
    }
    std::size_t end = begin;
    std::size_t pos = begin;
    while (pos < text.size()) {
        const auto c = next_code_point(text, pos);
        if (!c || !is_white_space(*c)) end = pos;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_white_space(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    std::size_t start = std::string_view::npos;
    while (pos < text.size()) {
        const std::size_t here = pos;
        const auto c = next_code_point(text, pos);
        const bool blank = c && is_white_space(*c);
        if (blank && start != std::string_view::npos) {
            pieces.push_back(text.substr(start, here - start));
            start = std::string_view::npos;
        } else if (!blank && start == std::string_view::npos) {
            start = here;
        }
    }
    if (start != std::string_view::npos) pieces.push_back(text.substr(start));
    return pieces;
}

namespace {

using CaseMapping = int32_t (*)(const UCaseMap*, char*, int32_t, const char*, int32_t, UErrorCode*);

std::string map_case(std::string_view text, CaseMapping mapping) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open("", 0, &status), ucasemap_close);
    if (U_FAILURE(status)) return std::string(text);
    std::string out(text.size() + 16, '\0');
    for (;;) {
        status = U_ZERO_ERROR;
        const int32_t n = mapping(map.get(), out.data(), static_cast<int32_t>(out.size()), text.data(),
                                  static_cast<int32_t>(text.size()), &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.resize(static_cast<std::size_t>(n));
            continue;
        }
        if (U_FAILURE(status)) return std::string(text);
        out.resize(static_cast<std::size_t>(n));
        return out;
    }
}

}  // namespace

std::string to_lower(std::string_view text) { return map_case(text, ucasemap_utf8ToLower); }

std::string to_upper(std::string_view text) { return map_case(text, ucasemap_utf8ToUpper); }

}  // namespace vc
