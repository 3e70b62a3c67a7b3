// Exception classes of the imaging core. Every error is an exception carrying its message text;
// nothing in the readers reports failure through return codes.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

private:
    std::string FMessage;
};

#define PICTOLAN_EXCEPTION(Name, Base)                      \
    class Name : public Base {                              \
    public:                                                 \
        using Base::Base;                                   \
    }

PICTOLAN_EXCEPTION(EInvalidGraphic, Exception);
PICTOLAN_EXCEPTION(EInvalidGraphicOperation, Exception);
PICTOLAN_EXCEPTION(EGraphicCompression, Exception);
PICTOLAN_EXCEPTION(EColorConversionError, Exception);
PICTOLAN_EXCEPTION(EStreamError, Exception);
PICTOLAN_EXCEPTION(EReadError, EStreamError);
PICTOLAN_EXCEPTION(EWriteError, EStreamError);
PICTOLAN_EXCEPTION(EFOpenError, EStreamError);
PICTOLAN_EXCEPTION(EFCreateError, EStreamError);
PICTOLAN_EXCEPTION(EConvertError, Exception);
PICTOLAN_EXCEPTION(EOutOfResources, Exception);

#undef PICTOLAN_EXCEPTION

// Message texts shared by the core classes.
inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";
inline constexpr const char* SFOpenError = "Cannot open file \"%s\". %s";
inline constexpr const char* SFCreateError = "Cannot create file \"%s\". %s";
inline constexpr const char* SInvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* SInvalidPixelFormat = "Invalid pixel format";
inline constexpr const char* SUnknownExtension = "Unknown picture file extension (.%s)";
inline constexpr const char* SImageTooLarge = "Image is too large (%d x %d pixels).";
inline constexpr const char* SInvalidImageSize = "Invalid image size (%d x %d pixels).";

namespace detail {
template <class T>
decltype(auto) FormatArg(const T& value) {
    if constexpr (std::is_same_v<T, std::string>)
        return value.c_str();
    else
        return value;
}
}  // namespace detail

// printf-style formatting of a message text; std::string arguments may be passed for %s.
template <class... Args>
std::string Format(const char* fmt, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return fmt;
    } else {
        int n = std::snprintf(nullptr, 0, fmt, detail::FormatArg(args)...);
        if (n <= 0) return std::string();
        std::string out(static_cast<size_t>(n), '\0');
        std::snprintf(out.data(), out.size() + 1, fmt, detail::FormatArg(args)...);
        return out;
    }
}
