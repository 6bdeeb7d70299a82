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

# Libraries beyond libc (libmosquitto and OpenSSL for the MQTT output) are
# Debian's armhf packages installed beside the host's (multiarch): headers in
# /usr/include, libraries in /usr/lib/arm-linux-gnueabihf, both of which the
# cross compiler searches by itself. pkg-config must read their armhf data
# only, never the host's. The variables are set while CMake configures, which
# is when pkg-config runs. The root is searched as well, so that the library
# files pkg-config names are found there (CMake looks in their armhf
# directories only: it knows the target's library architecture).
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${GNSSD_ARM_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# No binfmt_misc is assumed: every target program is started through
# qemu-arm. With the armhf C library installed through multiarch (it comes
# with libmosquitto; scripts/install-deps.sh adds the C++ runtime the test
# programs need), the loader and every library come from the root, as on the
# router: the loader of the cross tree would pair with the multiarch libc.so
# of another build. Without it they come from the cross tree, which has the C
# and C++ runtimes only.
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${GNSSD_ARM_SYSROOT})
endif()

# Link only the shared libraries actually used: the router ships few
# (g++ adds libm for the static C++ runtime even when nothing calls it).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--as-needed")
