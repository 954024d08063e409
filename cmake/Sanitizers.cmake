# Sanitizer builds, chosen with -DQV_SANITIZE=address or -DQV_SANITIZE=thread
# (scripts/test.sh runs both in CI).
#
# address: AddressSanitizer and UndefinedBehaviorSanitizer on everything. The
#   pool poisons its guard bytes and quarantined blocks, and the scheduler
#   tells ASan about every stack switch.
# thread: ThreadSanitizer on the driver and the tests only. The emulation is
#   left uninstrumented, because its bookkeeping is not what we look for races
#   in; it runs every simulated thread as a ThreadSanitizer fiber and
#   annotates the order its objects impose (platform/kernel/race_annotations.h).
#
# Either way a probe program shows the sanitizer catching a fault on purpose,
# checked by a CTest that expects the report.
set(QV_SANITIZE "" CACHE STRING "Sanitizer build: address or thread (empty: none)")

if(QV_SANITIZE AND NOT QV_TESTS)
  message(FATAL_ERROR "A sanitizer build is there to run the tests: configure it with QV_TESTS on")
endif()
set(QV_SANITIZER_EXECUTABLES qvsim qvtests)
if(QV_BENCHMARKS)
  list(APPEND QV_SANITIZER_EXECUTABLES qvbench)
endif()
if(QV_SANITIZE STREQUAL "address")
  set(QV_ASAN_FLAGS -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer)
  # GCC's flow-based warnings (object sizes, uninitialised reads) read the
  # sanitizers' added checks as code that may write out of bounds or read
  # unset memory, and at -O1 they fire on the standard library's own fills,
  # copies and std::function. The same sources build without warnings in
  # the plain and Release builds, which keep these warnings as errors.
  set(QV_ASAN_WARNING_EXCEPTIONS -Wno-stringop-overflow -Wno-array-bounds -Wno-maybe-uninitialized)
  foreach(target qvplatform qvdriver qvsimhw qvharness qvconsole ${QV_SANITIZER_EXECUTABLES})
    target_compile_options(${target} PRIVATE ${QV_ASAN_FLAGS} ${QV_ASAN_WARNING_EXCEPTIONS})
  endforeach()
  # Leak checking is off (tools/sanitizer_probes/asan_options.cpp): a bug
  # check abandons the stacks of the simulated threads by design, and what
  # they held would be reported; the pool's own unload audit finds the
  # driver's leaks.
  foreach(target ${QV_SANITIZER_EXECUTABLES})
    target_link_options(${target} PRIVATE ${QV_ASAN_FLAGS})
    target_sources(${target} PRIVATE tools/sanitizer_probes/asan_options.cpp)
  endforeach()

  add_executable(qvasanprobe tools/sanitizer_probes/pool_probe.cpp)
  target_compile_options(qvasanprobe PRIVATE ${QV_WARNINGS} ${QV_ASAN_FLAGS})
  target_link_options(qvasanprobe PRIVATE ${QV_ASAN_FLAGS})
  target_sources(qvasanprobe PRIVATE tools/sanitizer_probes/asan_options.cpp)
  target_link_libraries(qvasanprobe PRIVATE qvplatform)
  foreach(fault use-after-free overrun)
    add_test(NAME sanitizer.AddressSanitizerCatchesPool-${fault} COMMAND qvasanprobe ${fault})
    set_tests_properties(sanitizer.AddressSanitizerCatchesPool-${fault} PROPERTIES
                         PASS_REGULAR_EXPRESSION "ERROR: AddressSanitizer: use-after-poison.*DriverTouchesPool")
  endforeach()
  add_test(NAME sanitizer.AddressSanitizerQuietOnCorrectPoolUse COMMAND qvasanprobe clean)
elseif(QV_SANITIZE STREQUAL "thread")
  set(QV_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
  foreach(target qvdriver qvtests)
    target_compile_options(${target} PRIVATE ${QV_TSAN_FLAGS})
  endforeach()
  # The emulation (a shared library in this build) is not instrumented, and
  # ThreadSanitizer is told to leave out what uninstrumented libraries do
  # through its interceptors too (copies, frees): tools/sanitizer_probes/
  # tsan_options.cpp sets ignore_noninstrumented_modules in each program.
  target_compile_definitions(qvplatform PUBLIC QV_TSAN_FIBERS=1)
  # The emulation binds its own functions to itself: otherwise a template it
  # shares with a test (std::mt19937_64's generator, say) resolves to the
  # test's instrumented copy, and the scheduler's own random draws, made from
  # many fibers, are reported as races.
  target_link_options(qvplatform PRIVATE -Wl,-Bsymbolic-functions)
  foreach(target ${QV_SANITIZER_EXECUTABLES})
    target_link_options(${target} PRIVATE ${QV_TSAN_FLAGS})
    target_sources(${target} PRIVATE tools/sanitizer_probes/tsan_options.cpp)
  endforeach()

  add_executable(qvtsanprobe tools/sanitizer_probes/race_probe.cpp)
  target_compile_options(qvtsanprobe PRIVATE ${QV_WARNINGS} ${QV_TSAN_FLAGS})
  target_link_options(qvtsanprobe PRIVATE ${QV_TSAN_FLAGS})
  target_sources(qvtsanprobe PRIVATE tools/sanitizer_probes/tsan_options.cpp)
  target_link_libraries(qvtsanprobe PRIVATE qvplatform)
  # The racy counter is reported, once, and the correctly locked and the
  # event-ordered counters are not.
  add_test(NAME sanitizer.ThreadSanitizerCatchesARacyCounter COMMAND qvtsanprobe racy)
  set_tests_properties(sanitizer.ThreadSanitizerCatchesARacyCounter PROPERTIES
                       PASS_REGULAR_EXPRESSION "WARNING: ThreadSanitizer: data race.*RacyDriverCounter.*reported 1 warnings")
  add_test(NAME sanitizer.ThreadSanitizerQuietOnOrderedCounters COMMAND qvtsanprobe ordered)
elseif(NOT QV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QV_SANITIZE must be address or thread, not '${QV_SANITIZE}'")
endif()
