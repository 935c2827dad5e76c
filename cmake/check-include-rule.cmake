# The folders depend one way: module -> control -> {ui, queue, snapshot} -> {outside, com}.
# No file in queue/, ui/ or snapshot/ includes a header of control/ (the control's own header
# above all), and no file in control/ includes a header of module/, which hosts the control.
# Run with -DSOURCE_DIR=<the ovtransfer folder>; fails naming every offending line.
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

# Appends to out each line of the folders' sources that includes a header matching pattern.
function(find_includes out pattern)
  set(found "")
  foreach(folder IN LISTS ARGN)
    file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
    foreach(source IN LISTS sources)
      file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*${pattern}")
      foreach(line IN LISTS lines)
        string(APPEND found "\n  ${source}: ${line}")
      endforeach()
    endforeach()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

set(errors "")
find_includes(offences "(control/|ov_transfer_control\\.h)" queue ui snapshot)
if(offences)
  string(APPEND errors "\nqueue/, ui/ and snapshot/ must not include the control's headers:${offences}")
endif()
find_includes(offences "module/" control)
if(offences)
  string(APPEND errors "\ncontrol/ must not include the module's headers:${offences}")
endif()
if(errors)
  message(FATAL_ERROR "${errors}")
endif()
