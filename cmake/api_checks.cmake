# Checks of the calling interface, part of the test build:
#  - each public header compiles alone, as strict C11 and as C++, seeing nothing but
#    include/ (so no internal header, template or C++-only type slips into the contract);
#  - examples/decode.c, a C program on the interface alone, decodes the shipped lossless
#    sample back to the very PPM it was made from;
#  - an install into a temporary prefix holds only the public headers, and the example builds
#    against it through pkg-config and through find_package (scripts/check-install);
#  - a shared build exports the DRAVEX_API names and nothing else, and the static library
#    defines no other name at global scope (the rest is in namespace dravex).

# C has its own warning list: some of the project's are for C++ only.
set(api_c_warnings -Wall -Wextra -Wpedantic -Wshadow -Wvla -Wformat=2 -Wstrict-prototypes)
if(WERROR)
  list(APPEND api_c_warnings -Werror)
endif()

set(api_dir ${CMAKE_CURRENT_BINARY_DIR}/api_headers)
set(api_sources "")
foreach(h ${DRAVEX_PUBLIC_HEADERS})
  get_filename_component(header ${h} NAME_WE)
  foreach(ext c cpp)
    configure_file(cmake/header_alone.in ${api_dir}/${header}.${ext} @ONLY)
    list(APPEND api_sources ${api_dir}/${header}.${ext})
  endforeach()
endforeach()
add_library(dravex_header_checks OBJECT ${api_sources})
target_include_directories(dravex_header_checks PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/include)
set_target_properties(dravex_header_checks PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
  C_EXTENSIONS OFF)
# -Werror whatever WERROR says: a warning here is what the check is for.
target_compile_options(dravex_header_checks PRIVATE -Wall -Wextra -Wpedantic -Werror
  $<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes>)

add_executable(decode_example examples/decode.c)
set_target_properties(decode_example PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
  C_EXTENSIONS OFF)
target_link_libraries(decode_example PRIVATE dravex::dravex)
target_compile_options(decode_example PRIVATE ${api_c_warnings})
add_test(NAME api_example_decode
         COMMAND decode_example ${CMAKE_CURRENT_SOURCE_DIR}/samples/sample.j2c
                 ${CMAKE_CURRENT_BINARY_DIR}/example_sample.ppm)
add_test(NAME api_example_matches_source
         COMMAND ${CMAKE_COMMAND} -E compare_files ${CMAKE_CURRENT_BINARY_DIR}/example_sample.ppm
                 ${CMAKE_CURRENT_SOURCE_DIR}/samples/sample.ppm)
set_tests_properties(api_example_decode PROPERTIES FIXTURES_SETUP example_ppm)
set_tests_properties(api_example_matches_source PROPERTIES FIXTURES_REQUIRED example_ppm)

# The installed library is checked with plain compiler flags: not in sanitizer builds, whose
# objects need the sanitizer runtime at every link.
if(NOT DRAVEX_SANITIZE)
  add_test(NAME api_install
           COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/check-install ${CMAKE_CURRENT_BINARY_DIR}
                   ${CMAKE_C_COMPILER})
  set_tests_properties(api_install PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()

if(BUILD_SHARED_LIBS AND CMAKE_NM)
  list(JOIN DRAVEX_API_NAMES "," api_names)
  add_test(NAME api_exports
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:dravex_shared>
                   -DEXPECTED=${api_names}
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check_exports.cmake)
endif()

if(CMAKE_NM)
  list(JOIN DRAVEX_API_NAMES "," api_names)
  add_test(NAME api_static_globals
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:dravex_core>
                   -DEXPECTED=${api_names} -DSTATIC=1
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/check_exports.cmake)
endif()
