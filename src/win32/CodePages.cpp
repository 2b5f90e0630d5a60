// Text conversion between UTF-16 and the two code pages in use: the ANSI code page, which is
// Windows-1252, and UTF-8.
#include "CodePages.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr UINT kCodePageThreadAcp = 3;
constexpr UINT kCodePageWindows1252 = 1252;
constexpr DWORD kMbErrInvalidChars = 0x00000008;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr char16_t kReplacementCharacter = 0xFFFD;

// What bytes 0x80..0x9F stand for in Windows-1252. The five bytes the code page leaves undefined
// map to the C1 control of the same value, as Windows maps them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

enum class Encoding { kWindows1252, kUtf8 };

// Windows-1252 unless a test chose UTF-8, as Windows allows.
std::atomic<UINT> ansiCodePage{kCodePageWindows1252};

std::optional<Encoding> EncodingOf(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case kCodePageThreadAcp:
            return ansiCodePage.load() == CP_UTF8 ? Encoding::kUtf8 : Encoding::kWindows1252;
        case kCodePageWindows1252:
            return Encoding::kWindows1252;
        case CP_UTF8:
            return Encoding::kUtf8;
        default:
            return std::nullopt;
    }
}

std::optional<char> Windows1252FromUnicode(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (unsigned i = 0; i < 32; ++i) {
        if (kWindows1252High[i] == c) return static_cast<char>(0x80 + i);
    }
    return std::nullopt;
}

char16_t UnicodeFromWindows1252(unsigned char byte) {
    return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte);
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::string EncodeUtf8(const char16_t* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            c = kReplacementCharacter;  // an unpaired surrogate has no UTF-8 form
        }
        AppendUtf8(out, c);
    }
    return out;
}

// Decodes UTF-8; each invalid sequence becomes one U+FFFD, or fails when `strict`.
std::optional<std::u16string> DecodeUtf8(const unsigned char* text, std::size_t length, bool strict) {
    std::u16string out;
    std::size_t i = 0;
    while (i < length) {
        const unsigned char lead = text[i];
        std::size_t count = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            count = 1, c = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            count = 2, c = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            count = 3, c = lead & 0x07, minimum = 0x10000;
        }
        std::size_t used = 1;
        bool valid = count > 0;
        for (; valid && used <= count; ++used) {
            if (i + used >= length || (text[i + used] & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            c = (c << 6) | (text[i + used] & 0x3F);
        }
        if (valid && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
            valid = false;
            used = 1;
        }
        if (!valid) {
            if (strict) return std::nullopt;
            out.push_back(kReplacementCharacter);
            i += used;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += used;
    }
    return out;
}

// Windows' size convention: a zero-sized output asks for the size; a short one fails after
// writing what fits.
template <typename Char>
int Deliver(const std::basic_string<Char>& converted, Char* out, int outSize) {
    const auto size = static_cast<int>(converted.size());
    if (outSize == 0) return size;
    if (size > outSize) {
        std::memcpy(out, converted.data(), static_cast<std::size_t>(outSize) * sizeof(Char));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, converted.data(), converted.size() * sizeof(Char));
    return size;
}

int InvalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

}  // namespace

namespace halvex::win32 {

bool SetAnsiCodePageForTests(UINT codePage) {
    if (codePage != kCodePageWindows1252 && codePage != CP_UTF8) return false;
    ansiCodePage.store(codePage);
    return true;
}

}  // namespace halvex::win32

extern "C" {

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD, LPCWCH lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                               int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    const auto encoding = EncodingOf(CodePage);
    if (!encoding || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr))
        return InvalidParameter();
    if (*encoding == Encoding::kUtf8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr))
        return InvalidParameter();

    const std::size_t length = cchWideChar == -1 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                                 : static_cast<std::size_t>(cchWideChar);
    std::string converted;
    if (*encoding == Encoding::kUtf8) {
        converted = EncodeUtf8(lpWideCharStr, length);
    } else {
        const char fallback = lpDefaultChar ? *lpDefaultChar : '?';
        bool usedDefault = false;
        converted.reserve(length);
        for (std::size_t i = 0; i < length; ++i) {
            const auto byte = Windows1252FromUnicode(lpWideCharStr[i]);
            usedDefault |= !byte;
            converted.push_back(byte.value_or(fallback));
        }
        if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    return Deliver(converted, lpMultiByteStr, cbMultiByte);
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    const auto encoding = EncodingOf(CodePage);
    if (!encoding || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr))
        return InvalidParameter();

    const std::size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    std::u16string converted;
    if (*encoding == Encoding::kUtf8) {
        auto decoded = DecodeUtf8(bytes, length, (dwFlags & kMbErrInvalidChars) != 0);
        if (!decoded) {
            SetLastError(kErrorNoUnicodeTranslation);
            return 0;
        }
        converted = std::move(*decoded);
    } else {
        converted.reserve(length);
        for (std::size_t i = 0; i < length; ++i) converted.push_back(UnicodeFromWindows1252(bytes[i]));
    }
    return Deliver(converted, lpWideCharStr, cchWideChar);
}

}  // extern "C"
