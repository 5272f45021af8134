# Helpers shared by the subsystem folders.

# vantorel_library(<subsystem> SOURCES ... LINKS ...)
# Defines the static library vantorel_<subsystem>; headers are included as
# "<subsystem>/<file>.h" from src/.
function(vantorel_library sub)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
    add_library(vantorel_${sub} STATIC ${ARG_SOURCES})
    target_include_directories(vantorel_${sub} PUBLIC "${CMAKE_SOURCE_DIR}/src")
    target_link_libraries(vantorel_${sub} PUBLIC ${ARG_LINKS})
endfunction()

# vantorel_test_suite(<subsystem> SOURCES ... LINKS ...)
# One GoogleTest executable per subsystem, tests/<subsystem>/<x>_test.cpp.
# Tests run with HOME and the XDG folders of their own temporary home (see
# tests/support), never the developer's.
function(vantorel_test_suite sub)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
    set(target ${sub}_tests)
    add_executable(${target} ${ARG_SOURCES})
    target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/src" "${CMAKE_SOURCE_DIR}/tests")
    target_link_libraries(${target} PRIVATE ${ARG_LINKS} vantorel_test_support GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${target} PRIVATE
        VANTOREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
        VANTOREL_BINARY_DIR="${CMAKE_BINARY_DIR}")
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# vantorel_benchmark(<name> SOURCES ... LINKS ...)
function(vantorel_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/src" "${CMAKE_SOURCE_DIR}/tests")
    target_link_libraries(${name} PRIVATE ${ARG_LINKS} benchmark::benchmark)
    target_compile_definitions(${name} PRIVATE VANTOREL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endfunction()

# vantorel_fuzz_target(<name> SOURCES ... LINKS ...)
function(vantorel_fuzz_target name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/src")
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${ARG_LINKS})
endfunction()
