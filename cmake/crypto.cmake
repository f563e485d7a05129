# token::crypto: OpenSSL's libcrypto for the key API's software primitives.
#
# Linux: the system's libcrypto (libssl-dev), OpenSSL 3.
# Windows (mingw-w64): a static libcrypto built by scripts/build-openssl-mingw, linked into
# our DLLs and programs so that they need no OpenSSL DLL beside them. Its folder comes from
# the cache variable TOKEN_OPENSSL_ROOT, which scripts/build sets; without it the configure
# step stops and says what to run.

if(TARGET token::crypto)
    return()
endif()

if(NOT WIN32)
    find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
    add_library(token::crypto INTERFACE IMPORTED GLOBAL)
    target_link_libraries(token::crypto INTERFACE OpenSSL::Crypto)
    return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_token_openssl_target x86_64)
    set(_token_preset_arch x64)
else()
    set(_token_openssl_target i686)
    set(_token_preset_arch x86)
endif()

set(TOKEN_OPENSSL_ROOT "" CACHE PATH
    "Folder with include/ and lib/libcrypto.a of OpenSSL for mingw (scripts/build-openssl-mingw)")

# Only the folder named here is used: never whatever lies in a cache, which may hold a build of
# another version or of other options than the ones this tree expects.
if(NOT TOKEN_OPENSSL_ROOT)
    message(FATAL_ERROR
        "OpenSSL for mingw (${_token_openssl_target}) is not given. Run\n"
        "  scripts/build windows-${_token_preset_arch}\n"
        "which builds it when needed and passes it on, or build it with\n"
        "  scripts/build-openssl-mingw ${_token_openssl_target}\n"
        "and configure with -DTOKEN_OPENSSL_ROOT=<the folder it prints last>.")
endif()
if(NOT EXISTS "${TOKEN_OPENSSL_ROOT}/lib/libcrypto.a"
   OR NOT EXISTS "${TOKEN_OPENSSL_ROOT}/include/openssl/evp.h")
    message(FATAL_ERROR
        "TOKEN_OPENSSL_ROOT=${TOKEN_OPENSSL_ROOT} holds no OpenSSL for mingw "
        "(lib/libcrypto.a and include/openssl/evp.h). Build it with\n"
        "  scripts/build-openssl-mingw ${_token_openssl_target}\n"
        "and configure with -DTOKEN_OPENSSL_ROOT=<the folder it prints last>.")
endif()
message(STATUS "OpenSSL for mingw: ${TOKEN_OPENSSL_ROOT}")

add_library(token::crypto STATIC IMPORTED GLOBAL)
set_target_properties(token::crypto PROPERTIES
    IMPORTED_LOCATION "${TOKEN_OPENSSL_ROOT}/lib/libcrypto.a"
    INTERFACE_INCLUDE_DIRECTORIES "${TOKEN_OPENSSL_ROOT}/include"
    # The libraries OpenSSL's mingw configuration names (ws2_32, gdi32, crypt32) and those
    # its random-number and fatal-error paths call (advapi32, user32).
    INTERFACE_LINK_LIBRARIES "ws2_32;gdi32;crypt32;advapi32;user32")
