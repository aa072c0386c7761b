# libdeflate compiled from its source tree, for targets that have no packaged
# library (the mingw-w64 cross build: Debian packages libdeflate for Linux
# only). scripts/deps.sh --windows unpacks Debian's source package, of the
# same version as the Linux build links, into build/deps/libdeflate/source.
#
# Only what raw DEFLATE decoding needs is built: the decompressor with its
# run-time choice of routines by processor features, the library's CRC-32,
# and the allocation helpers. The result is the static library
# tallymere_libdeflate, linked into the executable like any other.
#
# In:  TALLYMERE_LIBDEFLATE_SOURCE, a folder holding libdeflate.h and lib/.
# Out: the target tallymere_libdeflate; TALLYMERE_LIBDEFLATE_SOURCE_VERSION.

enable_language(C)

set(_libdeflate_dir ${TALLYMERE_LIBDEFLATE_SOURCE})
add_library(tallymere_libdeflate STATIC
  ${_libdeflate_dir}/lib/deflate_decompress.c
  ${_libdeflate_dir}/lib/crc32.c
  ${_libdeflate_dir}/lib/utils.c
  ${_libdeflate_dir}/lib/x86/cpu_features.c
  ${_libdeflate_dir}/lib/arm/cpu_features.c)  # each compiles to nothing on other processors
target_include_directories(tallymere_libdeflate SYSTEM PUBLIC ${_libdeflate_dir})
# The library's own settings: C99 with its GNU attributes, internal symbols
# hidden. Third-party code is not held to this project's warning flags.
set_target_properties(tallymere_libdeflate PROPERTIES C_STANDARD 99 C_EXTENSIONS ON)
target_compile_definitions(tallymere_libdeflate PRIVATE _ANSI_SOURCE)
target_compile_options(tallymere_libdeflate PRIVATE -fvisibility=hidden -w)

# The version, for the configure message: the library's own version macro.
file(STRINGS ${_libdeflate_dir}/libdeflate.h _libdeflate_version_line
     REGEX "^#define LIBDEFLATE_VERSION_STRING")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" TALLYMERE_LIBDEFLATE_SOURCE_VERSION "${_libdeflate_version_line}")
unset(_libdeflate_version_line)
unset(_libdeflate_dir)
