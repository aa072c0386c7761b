# zlib is always needed: the writer compresses with it, and it is the portable
# inflate backend. libdeflate is the fast backend, used where it is found.
#
# Out: TALLYMERE_HAVE_LIBDEFLATE (ON when libdeflate is built in, as the
# target tallymere_libdeflate) and TALLYMERE_INFLATE_BACKEND (libdeflate or
# zlib: the backend the program starts with, from TALLYMERE_INFLATE).
find_package(ZLIB REQUIRED)
find_package(Threads REQUIRED)

set(TALLYMERE_HAVE_LIBDEFLATE OFF)
set(_libdeflate_origin "")

# The mingw-w64 build has no packaged libdeflate to link: it compiles the
# library from the source tree that scripts/deps.sh --windows fetches.
set(TALLYMERE_LIBDEFLATE_SOURCE ${CMAKE_SOURCE_DIR}/build/deps/libdeflate/source
    CACHE PATH "libdeflate source tree the Windows (mingw-w64) build compiles")
if(WIN32 AND NOT MSVC AND EXISTS ${TALLYMERE_LIBDEFLATE_SOURCE}/libdeflate.h
   AND EXISTS ${TALLYMERE_LIBDEFLATE_SOURCE}/lib/deflate_decompress.c)
  include(${CMAKE_CURRENT_LIST_DIR}/libdeflate_source.cmake)
  set(TALLYMERE_HAVE_LIBDEFLATE ON)
  set(_libdeflate_origin
      "libdeflate ${TALLYMERE_LIBDEFLATE_SOURCE_VERSION} compiled from ${TALLYMERE_LIBDEFLATE_SOURCE}")
endif()

if(NOT TALLYMERE_HAVE_LIBDEFLATE)
  # vcpkg installs a CMake package of the library; Debian and MSYS2 install
  # the header and the library only.
  find_package(libdeflate CONFIG QUIET)
  if(TARGET libdeflate::libdeflate_static OR TARGET libdeflate::libdeflate_shared)
    add_library(tallymere_libdeflate INTERFACE)
    if(TARGET libdeflate::libdeflate_static)
      target_link_libraries(tallymere_libdeflate INTERFACE libdeflate::libdeflate_static)
    else()
      target_link_libraries(tallymere_libdeflate INTERFACE libdeflate::libdeflate_shared)
    endif()
    set(TALLYMERE_HAVE_LIBDEFLATE ON)
    set(_libdeflate_origin "libdeflate ${libdeflate_VERSION} from its CMake package")
  else()
    find_path(LIBDEFLATE_INCLUDE_DIR libdeflate.h)
    find_library(LIBDEFLATE_LIBRARY NAMES deflate libdeflate)
    if(LIBDEFLATE_INCLUDE_DIR AND LIBDEFLATE_LIBRARY)
      add_library(tallymere_libdeflate INTERFACE)
      target_include_directories(tallymere_libdeflate INTERFACE ${LIBDEFLATE_INCLUDE_DIR})
      target_link_libraries(tallymere_libdeflate INTERFACE ${LIBDEFLATE_LIBRARY})
      set(TALLYMERE_HAVE_LIBDEFLATE ON)
      set(_libdeflate_origin "${LIBDEFLATE_LIBRARY}")
    endif()
  endif()
endif()

if(WIN32 AND NOT MSVC)
  set(_libdeflate_hint "run scripts/deps.sh --windows to fetch the libdeflate source into ${TALLYMERE_LIBDEFLATE_SOURCE}")
else()
  set(_libdeflate_hint "install libdeflate (Debian: libdeflate-dev)")
endif()

if(TALLYMERE_INFLATE STREQUAL "auto")
  if(TALLYMERE_HAVE_LIBDEFLATE)
    set(TALLYMERE_INFLATE_BACKEND libdeflate)
  else()
    set(TALLYMERE_INFLATE_BACKEND zlib)
    if(WIN32)
      # The Windows executable is about half as fast with zlib: say so loudly.
      message(WARNING "libdeflate was not found: this Windows build inflates with zlib, which is "
                      "much slower; ${_libdeflate_hint}")
    else()
      message(STATUS "libdeflate was not found: inflating with zlib; ${_libdeflate_hint}")
    endif()
  endif()
else()
  set(TALLYMERE_INFLATE_BACKEND ${TALLYMERE_INFLATE})
endif()
if(TALLYMERE_INFLATE_BACKEND STREQUAL "libdeflate" AND NOT TALLYMERE_HAVE_LIBDEFLATE)
  message(FATAL_ERROR "TALLYMERE_INFLATE=libdeflate but libdeflate was not found; ${_libdeflate_hint}")
endif()
if(TALLYMERE_HAVE_LIBDEFLATE)
  message(STATUS "tallymere libdeflate: ${_libdeflate_origin}")
endif()
message(STATUS "tallymere inflate backend: ${TALLYMERE_INFLATE_BACKEND}")
unset(_libdeflate_origin)
unset(_libdeflate_hint)
