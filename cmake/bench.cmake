# Micro-benchmarks of the relay's hot paths; off by default so that ordinary builds need no benchmark library.
option(VANTREL_BENCH "Build the micro-benchmarks in bench/" OFF)

if(VANTREL_BENCH)
  find_package(benchmark REQUIRED)
  add_executable(micro_benchmarks ${CMAKE_SOURCE_DIR}/bench/micro_benchmarks.cpp)
  target_link_libraries(micro_benchmarks PRIVATE vantrel benchmark::benchmark)
endif()
