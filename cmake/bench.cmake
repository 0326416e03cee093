# Benchmarks of the relay; off by default so that ordinary builds need no benchmark library.
# micro_benchmarks: the hot paths, with Google Benchmark. end_to_end_benchmark: a whole relay on loopback with
# simulated boards, and the real program idle; it borrows the tests' WebSocket client.
option(VANTREL_BENCH "Build the benchmarks in bench/" OFF)

if(VANTREL_BENCH)
  find_package(benchmark REQUIRED)
  add_executable(micro_benchmarks ${CMAKE_SOURCE_DIR}/bench/micro_benchmarks.cpp)
  target_link_libraries(micro_benchmarks PRIVATE vantrel_simulation vantrel benchmark::benchmark)

  add_executable(end_to_end_benchmark
    ${CMAKE_SOURCE_DIR}/bench/end_to_end_benchmark.cpp
    ${CMAKE_SOURCE_DIR}/bench/client_benchmark.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/loopback_port.cpp
    ${CMAKE_SOURCE_DIR}/bench/micro_summary.cpp
    ${CMAKE_SOURCE_DIR}/bench/process_usage.cpp
    ${CMAKE_SOURCE_DIR}/bench/pty_board_driver.cpp
    ${CMAKE_SOURCE_DIR}/bench/pty_board_end.cpp
    ${CMAKE_SOURCE_DIR}/bench/pty_floor.cpp
    ${CMAKE_SOURCE_DIR}/bench/result_table.cpp
    ${CMAKE_SOURCE_DIR}/tests/support/websocket_test_client.cpp)
  target_include_directories(end_to_end_benchmark PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(end_to_end_benchmark PRIVATE vantrel_simulation vantrel)
  # Preloaded by hand to see the CPU of each system call (bench/syscall_cpu.cpp says how).
  add_library(syscall_cpu MODULE ${CMAKE_SOURCE_DIR}/bench/syscall_cpu.cpp)
  target_link_libraries(syscall_cpu PRIVATE ${CMAKE_DL_LIBS})
  # The idle and client figures run the real programs from the same folder.
  add_dependencies(end_to_end_benchmark vantrelRelay vantrelRelaySim vantrelClient)
endif()
