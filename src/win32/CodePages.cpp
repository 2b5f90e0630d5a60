// Text conversion from UTF-16 to the ANSI code page: Windows-1252, or UTF-8 when a test makes
// that the ANSI code page (a code page with characters of more than one byte, as Windows can
// have).
#include "CodePages.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr UINT kCodePageWindows1252 = 1252;
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

// Windows' size convention: a zero-sized output asks for the size; a short one fails after
// writing what fits.
int Deliver(const std::string& converted, char* out, int outSize) {
    const auto size = static_cast<int>(converted.size());
    if (outSize == 0) return size;
    if (size > outSize) {
        std::memcpy(out, converted.data(), static_cast<std::size_t>(outSize));
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, converted.data(), converted.size());
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

}  // extern "C"
