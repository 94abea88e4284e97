# Programs that tests start from inside other programs (lumoboot started by
# the test binaries and by lumo-sim, lumo-sim started by its tests).
#
# lumo_runnable(<target> <var>) sets <var> to the path a process should exec
# to run <target>. Natively that is the target's file. In a cross build with
# CMAKE_CROSSCOMPILING_EMULATOR (qemu-arm) it is a small shell script beside
# the target that runs it through the emulator: a test running under qemu-arm
# user mode passes execve to this machine's kernel, which cannot start an ARM
# binary itself (no binfmt handler is registered, on purpose) but runs the
# script, and the script runs the emulator. The program sees the script as
# its argv[0], so that one that runs itself again goes through it too.
function(lumo_runnable target var)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  set(script ${CMAKE_BINARY_DIR}/run-${target})
  set(${var} ${script} PARENT_SCOPE)
  get_property(made GLOBAL PROPERTY lumo_runnable_${target})
  if(made)  # one script per target, however many users ask for it
    return()
  endif()
  set_property(GLOBAL PROPERTY lumo_runnable_${target} TRUE)
  file(GENERATE OUTPUT ${script}
       CONTENT "#!/bin/sh\nexec ${emulator} -0 \"$0\" \"$<TARGET_FILE:${target}>\" \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

# lumo_emulated_test(<target>): a GoogleTest binary whose death tests in the
# "threadsafe" style re-execute argv[0]. Under the emulator argv[0] is made
# the target's wrapper script (qemu-arm -0), so the re-execution runs
# through the emulator too. Nothing to do in a native build.
function(lumo_emulated_test target)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    return()
  endif()
  lumo_runnable(${target} script)
  set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_CROSSCOMPILING_EMULATOR};-0;${script}")
endfunction()
