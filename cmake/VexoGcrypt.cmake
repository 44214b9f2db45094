# libgcrypt, where SHA-256 and Ed25519 come from: Debian's shared library in the native build, its
# mingw-w64 build linked statically (with libgpg-error) into the Windows programs.
find_path(VEXO_GCRYPT_INCLUDE_DIR gcrypt.h)
if(WIN32)
  find_library(VEXO_GCRYPT_LIBRARY NAMES libgcrypt.a)
  find_library(VEXO_GPG_ERROR_LIBRARY NAMES libgpg-error.a)
else()
  find_library(VEXO_GCRYPT_LIBRARY NAMES gcrypt)
  find_library(VEXO_GPG_ERROR_LIBRARY NAMES gpg-error)
endif()
if(NOT VEXO_GCRYPT_INCLUDE_DIR OR NOT VEXO_GCRYPT_LIBRARY OR NOT VEXO_GPG_ERROR_LIBRARY)
  message(FATAL_ERROR "libgcrypt not found: install Debian's libgcrypt20-dev, and for the Windows "
                      "build libgcrypt-mingw-w64-dev and libgpg-error-mingw-w64-dev "
                      "(scripts/setup-debian.sh does).")
endif()

add_library(vexo_gcrypt INTERFACE)
target_include_directories(vexo_gcrypt SYSTEM INTERFACE ${VEXO_GCRYPT_INCLUDE_DIR})
target_link_libraries(vexo_gcrypt INTERFACE ${VEXO_GCRYPT_LIBRARY} ${VEXO_GPG_ERROR_LIBRARY})
if(WIN32)
  target_link_libraries(vexo_gcrypt INTERFACE ws2_32)
endif()
