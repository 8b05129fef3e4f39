# Helpers that make a library, test executable or tool from every source below a folder,
# so that adding a file never needs an edit here.

# norvel_library(NAME DIR [LINK libs...])
function(norvel_library name dir)
  cmake_parse_arguments(ARG "" "" "LINK" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(NOT sources)
    # A library whose folder holds no source yet still links.
    set(placeholder "${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp")
    file(WRITE "${placeholder}" "// ${name} has no sources yet\n")
    set(sources "${placeholder}")
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/Sources")
  target_link_libraries(${name} PUBLIC ${ARG_LINK})
endfunction()

# norvel_tests(NAME DIR [LINK libs...]): one GoogleTest executable per library, every case
# registered with CTest.
function(norvel_tests name dir)
  cmake_parse_arguments(ARG "" "" "LINK" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${dir}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/Tests" "${PROJECT_SOURCE_DIR}/Sources")
  target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    NORVEL_TEST_FIXTURES="${NORVEL_TEST_FIXTURES}"
    NORVEL_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()
