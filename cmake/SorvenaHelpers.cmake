# Small helpers shared by every CMakeLists in the tree.

function(sorvena_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
endfunction()

macro(sorvena_apply_sanitizers)
  if(SORVENA_SANITIZE)
    add_compile_options(-fsanitize=${SORVENA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${SORVENA_SANITIZE})
  endif()
endmacro()

# sorvena_add_test(NAME src1.cpp [src2.cpp ...] [LIBS lib ...])
# Builds one GoogleTest binary against the core and registers its tests with ctest.
function(sorvena_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE sorvena_core sorvena_test_support GTest::gtest GTest::gtest_main ${ARG_LIBS})
  target_compile_definitions(${name} PRIVATE SORVENA_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  sorvena_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
