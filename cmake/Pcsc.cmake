# The PC/SC bridge (tools/pcsc/): the emulated machine with the driver as an
# IFD handler for pcsc-lite's pcscd, its control channel and tool, its tests
# (tests/pcsc/, part of qvtests) and its benchmark (bench/pcsc/).
#
# The bridge's library and tests build whenever pcsc-lite's headers are
# there (Debian's libpcsclite-dev). The shared library pcscd loads,
# libqvscr_ifd.so, needs every piece compiled as position-independent code:
# configure with -DQV_PCSC_BRIDGE=ON (scripts/test.sh does, for its Release
# build) and the whole build is, which leaves the default build as it was.
find_path(QV_PCSC_INCLUDE_DIR ifdhandler.h PATH_SUFFIXES PCSC)
find_library(QV_PCSCLITE_LIBRARY pcsclite)

# The bridge's tests are a program of their own (qvpcsctests), not part
# of qvtests: they run the machine in real time on host threads.
if(QV_TESTS)
  get_target_property(qv_test_sources qvtests SOURCES)
  list(FILTER qv_test_sources EXCLUDE REGEX "/tests/pcsc/")
  set_target_properties(qvtests PROPERTIES SOURCES "${qv_test_sources}")
endif()

if(NOT QV_PCSC_INCLUDE_DIR)
  message(WARNING "pcsc-lite's headers (libpcsclite-dev) not found: the PC/SC bridge and its tests are left out")
  return()
endif()

# The machine, the channels and the control channel: no pcsc-lite types.
add_library(qvpcsc STATIC
  tools/pcsc/bridge.cpp
  tools/pcsc/bridge_machine.cpp
  tools/pcsc/bridge_status.cpp
  tools/pcsc/control_server.cpp
  tools/pcsc/device_name.cpp
  tools/pcsc/ifd_handler.cpp)
target_include_directories(qvpcsc PUBLIC tools)
target_compile_options(qvpcsc PRIVATE ${QV_WARNINGS})
target_link_libraries(qvpcsc PUBLIC qvharness)

# The entry points pcscd looks up, compiled against pcsc-lite's header, once
# for the tests and the shared library both.
add_library(qvpcscentry OBJECT tools/pcsc/ifd_entry.cpp)
target_include_directories(qvpcscentry PRIVATE ${QV_PCSC_INCLUDE_DIR})
target_compile_options(qvpcscentry PRIVATE ${QV_WARNINGS})
target_link_libraries(qvpcscentry PUBLIC qvpcsc)

# The tests call the entry points in process. The sanitizer builds build
# and run qvtests alone, so the bridge's tests are left out of them.
if(QV_TESTS AND NOT QV_SANITIZE)
  file(GLOB QV_PCSC_TEST_SOURCES CONFIGURE_DEPENDS tests/pcsc/*.cpp)
  add_executable(qvpcsctests ${QV_PCSC_TEST_SOURCES})
  target_include_directories(qvpcsctests PRIVATE tests ${QV_PCSC_INCLUDE_DIR})
  target_compile_options(qvpcsctests PRIVATE ${QV_WARNINGS})
  target_link_libraries(qvpcsctests PRIVATE qvpcscentry GTest::gtest GTest::gtest_main)
  gtest_discover_tests(qvpcsctests DISCOVERY_MODE PRE_TEST)
endif()

# The control channel's client: build/qvscr-card insert t0, remove, ...
add_executable(qvscr-card tools/pcsc/card_control_main.cpp)
target_compile_options(qvscr-card PRIVATE ${QV_WARNINGS})

if(QV_PCSC_BRIDGE)
  # The IFD handler itself. Only the IFDH* routines are exported.
  add_library(qvscr_ifd SHARED $<TARGET_OBJECTS:qvpcscentry>)
  target_link_libraries(qvscr_ifd PRIVATE qvpcsc)
  target_link_options(qvscr_ifd PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/tools/pcsc/qvscr_ifd.map
                      -Wl,--no-undefined)
  set_target_properties(qvscr_ifd PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/tools/pcsc/qvscr_ifd.map)
  # The reader.conf.d directory pcscd is pointed at, naming this build's library.
  set(QV_IFD_LIBRARY_PATH "${CMAKE_BINARY_DIR}/libqvscr_ifd.so")
  configure_file(tools/pcsc/reader.conf.in ${CMAKE_BINARY_DIR}/pcsc/reader.conf.d/qvscr @ONLY)

  if(QV_PCSCLITE_LIBRARY AND QV_BENCHMARKS)
    # One short APDU from a PC/SC client through pcscd, the bridge, the
    # driver and the simulated reader, beside the same APDU on qvsim app's
    # path (run inside scripts/pcsc-bridge.sh).
    add_executable(qvpcscbench bench/pcsc/pcsc_bench.cpp bench/pcsc/app_path_bench.cpp bench/bench_main.cpp)
    target_include_directories(qvpcscbench PRIVATE ${QV_PCSC_INCLUDE_DIR})
    target_compile_options(qvpcscbench PRIVATE ${QV_WARNINGS})
    target_compile_definitions(qvpcscbench PRIVATE QV_BUILD_TYPE="${CMAKE_BUILD_TYPE}")
    target_link_libraries(qvpcscbench PRIVATE qvpcscentry qvconsole ${QV_PCSCLITE_LIBRARY} benchmark::benchmark)
  endif()
endif()
