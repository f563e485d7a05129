# token::crypto: OpenSSL's libcrypto for the key API's software primitives.
#
# Linux: the system's libcrypto (libssl-dev), OpenSSL 3.
# Windows (mingw-w64): a static libcrypto built by scripts/build-openssl-mingw, linked into
# our DLLs and programs so that they need no OpenSSL DLL beside them. Its folder comes from
# the cache variable TOKEN_OPENSSL_ROOT; left empty, the newest build in the script's per-user
# cache for this toolchain's target is taken.

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
else()
    set(_token_openssl_target i686)
endif()

set(TOKEN_OPENSSL_ROOT "" CACHE PATH
    "Folder with include/ and lib/libcrypto.a of OpenSSL for mingw (scripts/build-openssl-mingw)")

if(NOT TOKEN_OPENSSL_ROOT)
    if(NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
        set(_token_cache "$ENV{XDG_CACHE_HOME}")
    else()
        set(_token_cache "$ENV{HOME}/.cache")
    endif()
    file(GLOB _token_candidates LIST_DIRECTORIES true
         "${_token_cache}/tarvex-build/openssl-*-${_token_openssl_target}")
    # Natural descending order puts 3.0.20 before 3.0.9.
    list(SORT _token_candidates COMPARE NATURAL ORDER DESCENDING)
    foreach(_dir IN LISTS _token_candidates)
        if(EXISTS "${_dir}/.complete" AND EXISTS "${_dir}/lib/libcrypto.a")
            set(TOKEN_OPENSSL_ROOT "${_dir}" CACHE PATH
                "Folder with include/ and lib/libcrypto.a of OpenSSL for mingw" FORCE)
            break()
        endif()
    endforeach()
endif()

if(NOT TOKEN_OPENSSL_ROOT OR NOT EXISTS "${TOKEN_OPENSSL_ROOT}/lib/libcrypto.a"
   OR NOT EXISTS "${TOKEN_OPENSSL_ROOT}/include/openssl/evp.h")
    if(TOKEN_OPENSSL_ROOT)
        set(_token_where " in TOKEN_OPENSSL_ROOT=${TOKEN_OPENSSL_ROOT}")
    else()
        set(_token_where "")
    endif()
    message(FATAL_ERROR
        "OpenSSL for mingw (${_token_openssl_target}) not found${_token_where}. Build it with\n"
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
