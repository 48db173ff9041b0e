/* Included first in every source of a musl build (toolchain-musl.cmake): libstdc++'s headers
   ask for glibc's version with this macro, which musl does not define; they are told of an old
   glibc, so that they use nothing beyond what every C library has. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
