# quenby on the simulated bus for korvel-devhost: the driver stack and
# --inspect. Included by sim/devhost/CMakeLists.txt.
add_library(korvel_driver_stack STATIC
  ${CMAKE_CURRENT_LIST_DIR}/driver_stack.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inspect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/driver_hooks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ks_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ks_client_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ks_client_signal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ks_client_wav.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ks_client_report.cpp)
target_include_directories(korvel_driver_stack PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvel_driver_stack PUBLIC korvel_unit korvel_devhost_core korvel_clock PRIVATE quenby korvel_uac2 korvel_kernel)
korvel_warnings(korvel_driver_stack)

add_executable(driver_stack_tests
  ${CMAKE_CURRENT_LIST_DIR}/tests/driver_stack_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/inspect_test.cpp)
target_link_libraries(driver_stack_tests PRIVATE korvel_driver_stack korvel_uac2 korvel_kernel GTest::gtest_main)
korvel_warnings(driver_stack_tests)
include(GoogleTest)
# Start runs the driver's streaming thread on the simulated clock.
gtest_discover_tests(driver_stack_tests TEST_PREFIX "devhost.driver." PROPERTIES LABELS threaded)

# The KS client (korvel-devhost --stream) end to end on the virtual clock.
add_executable(stream_tests ${CMAKE_CURRENT_LIST_DIR}/tests/stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/device_shapes_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/ks_client_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tests/ks_client_signal_test.cpp)
target_link_libraries(stream_tests PRIVATE korvel_driver_stack korvel_kernel korvel_uac2 GTest::gtest_main)
# The shapes of real devices the stream tests play are the topology corpus's.
target_compile_definitions(stream_tests PRIVATE
  KORVEL_TOPOLOGY_CORPUS="${PROJECT_SOURCE_DIR}/win_avstream_driver/fuzz/corpus/topology")
korvel_warnings(stream_tests)
gtest_discover_tests(stream_tests TEST_PREFIX "devhost.stream." PROPERTIES LABELS threaded)

# The streaming figures (reports of the reference cases; CPU per streamed second).
add_executable(stream_figures ${CMAKE_CURRENT_LIST_DIR}/bench/stream_figures.cpp)
target_link_libraries(stream_figures PRIVATE korvel_driver_stack korvel_kernel)
korvel_warnings(stream_figures)

# quenby's private interface through its own dispatch (tunnel, codes, direct mode).
add_executable(private_interface_tests ${CMAKE_CURRENT_LIST_DIR}/tests/private_interface_test.cpp)
target_link_libraries(private_interface_tests PRIVATE korvel_driver_stack korvel_devhost_core quenby korvel_kernel korvel_uac2 GTest::gtest_main)
target_include_directories(private_interface_tests PRIVATE ${PROJECT_SOURCE_DIR}/win_avstream_driver ${PROJECT_SOURCE_DIR}/vxtest)
korvel_warnings(private_interface_tests)
gtest_discover_tests(private_interface_tests TEST_PREFIX "devhost.private." PROPERTIES LABELS threaded)

korvel_fuzz_target(private_dispatch
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/private_dispatch_fuzz.cpp
  LIBS korvel_driver_stack korvel_kernel
  CORPUS ${CMAKE_CURRENT_LIST_DIR}/fuzz/corpus/private_dispatch)

# Direct mode beside running KS pins (mixing and feeding the capture pin).
add_executable(direct_mixing_tests ${CMAKE_CURRENT_LIST_DIR}/tests/direct_mixing_test.cpp)
target_link_libraries(direct_mixing_tests PRIVATE korvel_driver_stack quenby korvel_kernel GTest::gtest_main)
target_include_directories(direct_mixing_tests PRIVATE ${PROJECT_SOURCE_DIR}/win_avstream_driver ${PROJECT_SOURCE_DIR}/vxtest)
korvel_warnings(direct_mixing_tests)
gtest_discover_tests(direct_mixing_tests TEST_PREFIX "devhost.mixing." PROPERTIES LABELS threaded)
