# End-to-end tests of the Windows programs under Wine: Xvfb, a private Wine prefix per test,
# socat serial ports, and the driver zkdrive.exe from the Windows build (tests/zk47test/harness.py).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ZK_E2E_DIR ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
set(ZK_E2E_WORK ${CMAKE_BINARY_DIR}/tests/e2e)

# zk_e2e_test(<name> <script> [args...]): one ctest entry running a Python test script with the
# harness's environment. Each test gets its own display and prefix, so they run in parallel.
function(zk_e2e_test name script)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} ${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "ZK_WINDOWS_DIR=${ZK_WINDOWS_DIR};ZK_E2E_WORK=${ZK_E2E_WORK};PYTHONDONTWRITEBYTECODE=1"
    TIMEOUT 300
    LABELS e2e)
endfunction()

# The machinery proving itself on the probe programs.
foreach(case controls dialogs serial cleanup)
  zk_e2e_test(e2e_harness_${case} ${ZK_E2E_DIR}/selftest.py ${case})
endforeach()

# The monitor end to end, a session each: start-up and settings, acquisition from a serial
# port, files and viewers, logs held by another program, shutdown while lines arrive.
foreach(area startup serial files held shutdown unplug)
  zk_e2e_test(e2e_monitor_${area} ${ZK_E2E_DIR}/monitor_${area}.py)
endforeach()
# Under Wine the serial reader polls the port; the runs above on Windows' own path, the
# overlapped comm waits, which a diagnostic switch turns on under Wine too. The unplug cases
# take the port away mid-run (python3 monitor_unplug.py --full runs the full count).
foreach(area serial shutdown unplug)
  zk_e2e_test(e2e_monitor_${area}_waits ${ZK_E2E_DIR}/monitor_${area}.py)
  set_property(TEST e2e_monitor_${area}_waits APPEND PROPERTY ENVIRONMENT ZK47_COMM_WAITS=1)
endforeach()

# The monitor on the network, a session each: its poller against a scripted stand-in data
# server (which replies become readings; failures and Continue), sharing from a serial run, and
# a chain of three stations through the relay (the native build).
foreach(case replies failures)
  zk_e2e_test(e2e_network_poll_${case} ${ZK_E2E_DIR}/network_poller.py ${case})
endforeach()
foreach(case serial status stalled)
  zk_e2e_test(e2e_network_share_${case} ${ZK_E2E_DIR}/network_sharing.py ${case})
endforeach()
zk_e2e_test(e2e_network_chain ${ZK_E2E_DIR}/network_sharing.py chain $<TARGET_FILE:zkrelay>)

# What Wine keeps per overlapped comm wait, beside the port query the serial reader makes instead.
zk_e2e_test(e2e_wine_commwait ${ZK_E2E_DIR}/wine_commwait.py)

# What Wine keeps when every dialog comes from a thread of its own, beside one thread for all.
zk_e2e_test(e2e_wine_alert ${ZK_E2E_DIR}/wine_alert.py)
