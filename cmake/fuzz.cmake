# libFuzzer targets: tests/fuzz/fuzz_<name>.cpp, each linked against its own sanitized copy of the library.
# Configure with CC=clang CXX=clang++ -DVANTREL_FUZZ=ON; scripts/run-fuzzers does both and runs them.
option(VANTREL_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(VANTREL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VANTREL_FUZZ needs clang: configure with CC=clang CXX=clang++")
  endif()

  set(VANTREL_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer)

  # The test support parts the targets drive the relay with (no test framework in them).
  set(VANTREL_FUZZ_SUPPORT
    ${CMAKE_SOURCE_DIR}/tests/support/fake_serial_driver.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/manual_clock.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/relay_parts.cpp)

  add_library(vantrel_fuzz STATIC ${VANTREL_BASE_SOURCES} ${VANTREL_SOURCES} ${VANTREL_SIMULATION_SOURCES}
              ${VANTREL_FUZZ_SUPPORT})
  target_include_directories(vantrel_fuzz PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(vantrel_fuzz PUBLIC VANTREL_BUILD_TIME="${VANTREL_BUILD_TIME}")
  target_compile_options(vantrel_fuzz PUBLIC ${VANTREL_FUZZ_FLAGS})
  target_link_options(vantrel_fuzz PUBLIC -fsanitize=address,undefined)
  target_link_libraries(vantrel_fuzz PUBLIC PkgConfig::LWS PkgConfig::SERIALPORT PkgConfig::JSONCPP
                        PkgConfig::MOSQUITTO OpenSSL::SSL OpenSSL::Crypto)

  file(GLOB VANTREL_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
  add_custom_target(fuzzers)
  foreach(source ${VANTREL_FUZZ_TARGETS})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE vantrel_fuzz)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
  endforeach()
endif()
