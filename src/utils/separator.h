#pragma once
// The host's path separator: file names, path fragments and the working directory are compared
// with it byte for byte.

namespace vesk {

#ifdef _WIN32
inline constexpr char kHostSeparator = '\\';
#else
inline constexpr char kHostSeparator = '/';
#endif

}  // namespace vesk
