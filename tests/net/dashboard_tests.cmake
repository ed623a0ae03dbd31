# The dashboard in a headless browser against the tool's simulated server
# (skipped when no chromium is installed).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND AND TARGET daqevstat_tool)
  add_test(NAME DashboardInBrowser
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/dashboard_browser_test.py
                   --tool $<TARGET_FILE:daqevstat_tool>)
  set_tests_properties(DashboardInBrowser PROPERTIES
    LABELS browser TIMEOUT 60 SKIP_RETURN_CODE 77)
endif()
