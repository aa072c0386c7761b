# What the HTML page carries inline, compiled into the program: Chart.js
# (from the build machine's Debian package libjs-chart.js), the page's own
# script (src/counters/html_page.js) and style sheet (src/counters/html_page.css).
# The page is opened from a file or a mail attachment, with no network, so
# nothing is fetched when it is shown.
#
# Each file becomes a byte array in a generated source file (a byte array has
# none of the compilers' limits on string literals). The page allows only its
# own scripts to run (a Content-Security-Policy naming their SHA-256 digests),
# so the digests are generated beside the bytes.
#
# Included from src/CMakeLists.txt:
#   tallymere_html_page_assets(<target>) adds the generated source to <target>.
#   TALLYMERE_CHARTJS names the Chart.js file; when it is missing, or is no
#   version 3 or later, or could not be inlined safely, the build warns and
#   goes on without charts (the page then shows its tables only).
# Run as a script (cmake -P) by the build, to generate the source:
#   -DOUTPUT_DIR=<folder> -DCHART_JS=<file or empty> -DPAGE_SCRIPT=<file> -DPAGE_STYLE=<file>

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(TALLYMERE_CHARTJS /usr/share/javascript/chart.js/chart.min.js
      CACHE FILEPATH "Chart.js (minified, version 3 or later) inlined into the HTML page")
  set(_tallymere_html_page_assets_script ${CMAKE_CURRENT_LIST_FILE})

  # The Chart.js file to inline, or an empty text (with a warning saying why).
  function(_tallymere_usable_chartjs out_var)
    set(${out_var} "" PARENT_SCOPE)
    set(file "${TALLYMERE_CHARTJS}")
    set(without "the HTML page is built without charts (it shows its tables only); scripts/deps.sh installs libjs-chart.js")
    if(NOT EXISTS "${file}")
      message(WARNING "Chart.js not found at ${file}: ${without}")
      return()
    endif()
    # Configure again when the package is upgraded.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    file(READ "${file}" content)
    string(REGEX MATCH "Chart\\.js v([0-9]+)\\.[0-9.]+" version "${content}")
    if(NOT version OR CMAKE_MATCH_1 LESS 3)
      message(WARNING "${file} is no Chart.js of version 3 or later (the page's script uses that interface): ${without}")
      return()
    endif()
    # The library goes into a <script> element, which ends at the first
    # "</script" and may be kept open past it after "<!--": text holding
    # either cannot be inlined as it is.
    string(TOLOWER "${content}" lower)
    string(FIND "${lower}" "</script" script_end)
    string(FIND "${lower}" "<!--" comment_start)
    if(NOT script_end EQUAL -1 OR NOT comment_start EQUAL -1)
      message(WARNING "${file} holds \"</script\" or \"<!--\" and cannot be inlined: ${without}")
      return()
    endif()
    message(STATUS "tallymere HTML page charts: ${version} (${file})")
    set(${out_var} "${file}" PARENT_SCOPE)
  endfunction()

  function(tallymere_html_page_assets target)
    _tallymere_usable_chartjs(chart_js)
    # The packages carry Chart.js's license when the program carries Chart.js.
    set_property(GLOBAL PROPERTY TALLYMERE_CHARTJS_INLINED "${chart_js}")
    set(source_dir ${CMAKE_CURRENT_SOURCE_DIR}/counters)
    set(output_dir ${CMAKE_CURRENT_BINARY_DIR}/html_page_assets)
    set(outputs ${output_dir}/html_page_assets.cpp ${output_dir}/html_page_assets.h)
    add_custom_command(
      OUTPUT ${outputs}
      COMMAND ${CMAKE_COMMAND} -DOUTPUT_DIR=${output_dir} -DCHART_JS=${chart_js}
              -DPAGE_SCRIPT=${source_dir}/html_page.js -DPAGE_STYLE=${source_dir}/html_page.css
              -P ${_tallymere_html_page_assets_script}
      DEPENDS ${chart_js} ${source_dir}/html_page.js ${source_dir}/html_page.css
              ${_tallymere_html_page_assets_script}
      COMMENT "Generating the HTML page's inline assets"
      VERBATIM)
    target_sources(${target} PRIVATE ${outputs})
    target_include_directories(${target} PRIVATE ${output_dir})
  endfunction()
  return()
endif()

# ---- Script mode: write the generated source --------------------------------

# The base64 text of bytes given in hex (a digest, for the page's policy).
function(_hex_to_base64 hex out_var)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex}" length)
  set(result "")
  set(i 0)
  while(i LESS length)
    string(SUBSTRING "${hex}" ${i} 6 group)
    string(LENGTH "${group}" digits)
    set(padded "${group}000000")
    string(SUBSTRING "${padded}" 0 6 padded)
    math(EXPR value "0x${padded}")
    # 1 byte gives 2 characters, 2 give 3, 3 give 4; "=" fills to 4.
    math(EXPR characters "${digits} * 2 / 3 + 1")
    foreach(shift 18 12 6 0)
      if(characters GREATER 0)
        math(EXPR index "(${value} >> ${shift}) & 63")
        string(SUBSTRING "${alphabet}" ${index} 1 c)
        string(APPEND result "${c}")
      else()
        string(APPEND result "=")
      endif()
      math(EXPR characters "${characters} - 1")
    endforeach()
    math(EXPR i "${i} + 6")
  endwhile()
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

# Appends to `source_var` the accessors of one file: Name() gives its bytes
# (empty for an empty path) and NameDigest() the policy's "sha256-..." text.
function(_append_asset source_var name file)
  set(source "${${source_var}}")
  if(file STREQUAL "")
    string(APPEND source "std::string_view ${name}() { return {}; }\n"
                         "std::string_view ${name}Digest() { return {}; }\n\n")
    set(${source_var} "${source}" PARENT_SCOPE)
    return()
  endif()
  file(READ "${file}" hex HEX)
  file(SHA256 "${file}" digest)
  _hex_to_base64("${digest}" digest)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REPEAT "0x..," 24 line)  # 24 bytes a line
  string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
  get_filename_component(shown "${file}" NAME)
  string(APPEND source
    "// ${shown}, ${size} bytes.\n"
    "const unsigned char k${name}[] = {\n${bytes}};\n"
    "std::string_view ${name}() { return {reinterpret_cast<const char*>(k${name}), sizeof k${name}}; }\n"
    "std::string_view ${name}Digest() { return \"sha256-${digest}\"; }\n\n")
  set(${source_var} "${source}" PARENT_SCOPE)
endfunction()

set(header "// Generated by cmake/html_page_assets.cmake: what the HTML page carries inline.
#pragma once

#include <string_view>

namespace tallymere::html_page_assets {

// Chart.js as the build machine's package holds it; empty in a build without.
std::string_view ChartJs();
// The page's own script and style sheet.
std::string_view PageScript();
std::string_view PageStyle();
// \"sha256-<base64>\" of each, as a Content-Security-Policy names it.
std::string_view ChartJsDigest();
std::string_view PageScriptDigest();
std::string_view PageStyleDigest();

}  // namespace tallymere::html_page_assets
")
set(source "// Generated by cmake/html_page_assets.cmake from the files named below.
#include \"html_page_assets.h\"

namespace tallymere::html_page_assets {

")
_append_asset(source ChartJs "${CHART_JS}")
_append_asset(source PageScript "${PAGE_SCRIPT}")
_append_asset(source PageStyle "${PAGE_STYLE}")
string(APPEND source "}  // namespace tallymere::html_page_assets\n")

file(MAKE_DIRECTORY "${OUTPUT_DIR}")
file(WRITE "${OUTPUT_DIR}/html_page_assets.h" "${header}")
file(WRITE "${OUTPUT_DIR}/html_page_assets.cpp" "${source}")
