# Helpers that keep every area's CMakeLists short and alike.

# Every public header directory; headers have unique names, so one include path serves the whole tree
# and the installed headers can sit flat in include/zrappapi/.
set(ZR_HEADER_DIRS
    ${PROJECT_SOURCE_DIR}/platform/zrutil
    ${PROJECT_SOURCE_DIR}/platform/zripc
    ${PROJECT_SOURCE_DIR}/client
    ${PROJECT_SOURCE_DIR}/addressbook
    ${PROJECT_SOURCE_DIR}/schema
    ${PROJECT_SOURCE_DIR}/directory
    ${PROJECT_SOURCE_DIR}/mail
    ${PROJECT_SOURCE_DIR}/services)
add_library(zr_includes INTERFACE)
target_include_directories(zr_includes INTERFACE "$<BUILD_INTERFACE:${ZR_HEADER_DIRS}>")
target_link_libraries(zr_includes INTERFACE PkgConfig::NSPR Threads::Threads)

function(zr_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# zr_add_area(NAME SOURCES ... [HEADERS ...] [LINK ...])
# A static library of one area, compiled position-independent with hidden visibility. Tests link the
# static library; the shared zrappapi takes every area whole (cmake/ZrAppApi.cmake). HEADERS are the
# area's public headers, installed under include/zrappapi/.
function(zr_add_area name)
  cmake_parse_arguments(A "" "" "SOURCES;HEADERS;LINK" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_link_libraries(${name} PUBLIC zr_includes ${A_LINK})
  zr_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY ZR_APPAPI_AREAS ${name})
  zr_public_headers(${A_HEADERS})
endfunction()

function(zr_public_headers)
  foreach(h ${ARGN})
    get_filename_component(abs ${h} ABSOLUTE)
    set_property(GLOBAL APPEND PROPERTY ZR_PUBLIC_HEADERS ${abs})
  endforeach()
endfunction()

# zr_add_gtest(NAME SOURCES ... [LINK ...] [LABELS ...] [TIMEOUT seconds])
# One test program, one CTest entry. Label "threaded" marks tests that also run under ThreadSanitizer.
function(zr_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LINK;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LINK} zr_test_support zrutil_s zripc_s GTest::gtest
                                        GTest::gmock)
  zr_warnings(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
                       ENVIRONMENT "LDAPNOINIT=1")
endfunction()

# zr_add_bench(NAME SOURCES ... [LINK ...])
function(zr_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LINK} zrutil_s zripc_s benchmark::benchmark)
  zr_warnings(${name})
endfunction()
