# Read by CTest after the dialog tests have been listed: they run one at a time, because a
# dialog shown by a test running beside them takes the keyboard focus from theirs.
if(DEFINED ui_dialog_tests_TESTS)
  set_tests_properties(${ui_dialog_tests_TESTS} PROPERTIES RUN_SERIAL TRUE)
endif()
