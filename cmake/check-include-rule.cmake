# The control depends on its collaborators and never the other way round: no file in queue/,
# ui/ or snapshot/ includes a header of control/ (the control's own header above all).
# Run with -DSOURCE_DIR=<the ovtransfer folder>; fails naming every offending line.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()
set(offences "")
foreach(folder queue ui snapshot)
  file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*(control/|ov_transfer_control\\.h)")
    foreach(line IN LISTS lines)
      string(APPEND offences "\n  ${source}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(offences)
  message(FATAL_ERROR "queue/, ui/ and snapshot/ must not include the control's headers:${offences}")
endif()
