# SPDX-License-Identifier: BSD-2-Clause
# Cross build for the router's 32-bit ARM (Debian's arm-linux-gnueabihf
# toolchain); tests and helper programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(GNSSD_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${GNSSD_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${GNSSD_ARM_TRIPLE}-g++)
set(CMAKE_STRIP ${GNSSD_ARM_TRIPLE}-strip CACHE FILEPATH "")

# Debian keeps the target's libc in its own sysroot-like tree.
set(GNSSD_ARM_SYSROOT /usr/${GNSSD_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${GNSSD_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt_misc is assumed: every target program is started through
# qemu-arm, with the target's dynamic loader and libraries found below -L.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${GNSSD_ARM_SYSROOT})

# The router ships libc alone: link only the shared libraries actually used
# (g++ adds libm for the static C++ runtime even when nothing calls it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--as-needed")
