# qvsim's own dependencies and data: CLI11 parses its command line, libpcap
# writes its USB captures, and the scenarios of scenarios/ are compiled into
# it so that it runs them by name from anywhere.
find_package(CLI11 CONFIG REQUIRED)
find_path(QV_PCAP_INCLUDE pcap/pcap.h REQUIRED)
find_library(QV_PCAP_LIBRARY pcap REQUIRED)
target_include_directories(qvharness PRIVATE ${QV_PCAP_INCLUDE})
target_link_libraries(qvharness PUBLIC ${QV_PCAP_LIBRARY})
target_link_libraries(qvsim PRIVATE CLI11::CLI11)

file(GLOB QV_SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.qvs)
set(QV_SCENARIO_SOURCE ${CMAKE_BINARY_DIR}/generated/scenario_texts.cpp)
add_custom_command(OUTPUT ${QV_SCENARIO_SOURCE}
                   COMMAND ${CMAKE_COMMAND} -DDIR=${CMAKE_SOURCE_DIR}/scenarios -DOUTPUT=${QV_SCENARIO_SOURCE}
                           -P ${CMAKE_SOURCE_DIR}/cmake/EmbedScenarios.cmake
                   DEPENDS ${QV_SCENARIOS} ${CMAKE_SOURCE_DIR}/cmake/EmbedScenarios.cmake
                   COMMENT "Embedding the scenarios" VERBATIM)
target_sources(qvsim PRIVATE ${QV_SCENARIO_SOURCE})
target_include_directories(qvsim PRIVATE ${CMAKE_SOURCE_DIR}/tools/qvsim)
# The tests run the scenarios through the binary; the scenario files' folder
# lets them read the expected outcomes too.
if(QV_TESTS)
  target_compile_definitions(qvtests PRIVATE QV_SCENARIO_DIR="${CMAKE_SOURCE_DIR}/scenarios")
endif()

# qvwinhost: the simulated readers behind the stand-in USB bus of the
# Windows image's run under Wine (tools/winhost/, windows/standin/).
file(GLOB QV_WINHOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/winhost/*.cpp)
add_executable(qvwinhost ${QV_WINHOST_SOURCES})
target_include_directories(qvwinhost PRIVATE ${CMAKE_SOURCE_DIR}/windows/standin)
target_compile_options(qvwinhost PRIVATE ${QV_WARNINGS})
target_link_libraries(qvwinhost PRIVATE qvharness CLI11::CLI11)
