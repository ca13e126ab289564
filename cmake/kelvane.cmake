# kv_module(NAME DIR [ONLY regex] [SKIP regex] [DEPS lib ...]): a static library
# of the portable sources in DIR plus the sources of this operating system
# (*_posix.cpp or *_win32.cpp). ONLY and SKIP select by file name.
function(kv_module name dir)
  cmake_parse_arguments(KV "" "ONLY;SKIP" "DEPS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  set(srcs)
  foreach(f IN LISTS all)
    get_filename_component(base ${f} NAME)
    if(base MATCHES "_(posix|win32)\\.cpp$" AND NOT base MATCHES "_${KV_OS}\\.cpp$")
      continue()
    endif()
    if(KV_ONLY AND NOT base MATCHES "${KV_ONLY}")
      continue()
    endif()
    if(KV_SKIP AND base MATCHES "${KV_SKIP}")
      continue()
    endif()
    list(APPEND srcs ${f})
  endforeach()
  if(NOT srcs)
    # A folder whose module is still to come: an empty library keeps the
    # dependency graph whole.
    set(srcs ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${KV_DEPS})
endfunction()

# kv_test(NAME DIR [LIBS ...]): one GoogleTest executable of every test source
# in DIR, registered with CTest as one test.
function(kv_test name dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE kv_test_support ${ARGN} GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()
