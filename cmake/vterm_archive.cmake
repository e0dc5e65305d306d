# Copies Debian's libvterm.a with its one reference to glibc's `stderr`
# renamed to morvik_vterm_stderr (see src/screen/vterm_stderr.cpp), so that
# the archive links into a shared object. Run with cmake -P and the
# variables ARCHIVE, OUTPUT, WORK, AR, OBJCOPY and EXTRA (objects to add:
# the pointer itself).
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${AR}" x "${ARCHIVE}" WORKING_DIRECTORY "${WORK}" COMMAND_ERROR_IS_FATAL ANY)
file(GLOB objects "${WORK}/*.o")
foreach(object IN LISTS objects)
  execute_process(COMMAND "${OBJCOPY}" --redefine-sym stderr=morvik_vterm_stderr "${object}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(REMOVE "${OUTPUT}")
execute_process(COMMAND "${AR}" rcs "${OUTPUT}" ${objects} ${EXTRA} COMMAND_ERROR_IS_FATAL ANY)
