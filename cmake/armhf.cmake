# Cross build for 32-bit ARM (hard float), with Debian's cross compiler
# (g++-arm-linux-gnueabihf) and the armhf development packages of libpng,
# zlib and GoogleTest; tools/setup.sh installs them.
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
#
# Binaries are linked statically, so that they run under qemu-arm user mode
# without an ARM dynamic loader and on a phone without our libraries. Tests
# of the host backend run through qemu-arm (CMAKE_CROSSCOMPILING_EMULATOR),
# called explicitly: nothing is registered with the kernel's binfmt handlers.
#
# NEON: Debian's armhf default is ARMv7-A with VFPv3-D16 and no NEON. Every
# phone this program is meant for (ARMv7-A application processors) has NEON,
# and so have the emulated Cortex-A15 below and the virtual phone's CPU, so
# the build adds -mfpu=neon and the rasterizer's NEON spans are compiled in.
# -DLUMO_ARM_NEON=OFF builds the portable spans only (a board without NEON).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

option(LUMO_ARM_NEON "Build for ARMv7-A with NEON (-mfpu=neon)" ON)
# -Wno-psabi: GCC notes every std::vector iterator passed by value that its
# argument passing changed in GCC 7.1; nothing here links with such old code.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
if(LUMO_ARM_NEON)
  string(APPEND CMAKE_C_FLAGS_INIT " -mfpu=neon")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -mfpu=neon")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Static archives only: the default search would pick libpng.so and libz.so,
# which a static link refuses. The platform files reset the suffixes after a
# toolchain file is read, so this is set again at the end of project().
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/static-libraries.cmake)
# Libraries, headers and package files of the armhf packages; programs
# (python3 for the picture checks) are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The emulated CPU is the virtual phone's: ARMv7-A with NEON, so an
# instruction the phone lacks fails here too. Never for the Linux backend:
# user mode passes every system call (reboot(2) among them) to this
# machine's kernel; that build runs only inside the virtual phone.
find_program(LUMO_QEMU_ARM qemu-arm)
if(LUMO_QEMU_ARM AND NOT LUMO_PLATFORM STREQUAL "linux")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMO_QEMU_ARM};-cpu;cortex-a15)
endif()
