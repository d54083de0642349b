# Third-party libraries, as imported targets for both builds:
#   ferro::zlib     raw inflate of package members and of gzip-encoded HTTP bodies
#   ferro::minizip  zip archives (links ferro::zlib)
#   ferro::cryptopp Crypto++: manifest signatures and SHA-1
# The native build takes Debian's development packages (scripts/setup installs them). The
# Windows cross-build links static libraries: zlib from libz-mingw-w64-dev, Crypto++ and
# minizip cross-built by scripts/windows-deps into FERRO_WINDOWS_DEPS_DIR (one folder per
# target: i686 and x86_64 never share one).

add_library(ferro::zlib INTERFACE IMPORTED GLOBAL)
add_library(ferro::minizip INTERFACE IMPORTED GLOBAL)
add_library(ferro::cryptopp INTERFACE IMPORTED GLOBAL)

if(CMAKE_CROSSCOMPILING AND WIN32)
    set(FERRO_WINDOWS_DEPS_DIR "" CACHE PATH
        "Prefix of the cross-built Crypto++ and minizip of this target (scripts/windows-deps prints it)")
    if(NOT FERRO_WINDOWS_DEPS_DIR)
        message(FATAL_ERROR "Set FERRO_WINDOWS_DEPS_DIR to the folder that scripts/windows-deps "
                            "${CMAKE_SYSTEM_PROCESSOR} prints (scripts/cross-build does)")
    endif()

    # The static zlib, so the executable needs no zlib1.dll beside it.
    find_library(FERRO_MINGW_ZLIB_LIBRARY NAMES libz.a)
    find_path(FERRO_MINGW_ZLIB_INCLUDE_DIR zlib.h)
    if(NOT FERRO_MINGW_ZLIB_LIBRARY OR NOT FERRO_MINGW_ZLIB_INCLUDE_DIR)
        message(FATAL_ERROR "The MinGW zlib is missing: install libz-mingw-w64-dev (scripts/setup)")
    endif()
    set_target_properties(ferro::zlib PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${FERRO_MINGW_ZLIB_INCLUDE_DIR}
        INTERFACE_LINK_LIBRARIES ${FERRO_MINGW_ZLIB_LIBRARY})

    set(_ferro_deps_missing "")
    foreach(_file include/cryptopp/rsa.h lib/libcryptopp.a include/minizip/unzip.h lib/libminizip.a)
        if(NOT EXISTS ${FERRO_WINDOWS_DEPS_DIR}/${_file})
            list(APPEND _ferro_deps_missing ${_file})
        endif()
    endforeach()
    if(_ferro_deps_missing)
        message(FATAL_ERROR "Cross-built libraries missing in ${FERRO_WINDOWS_DEPS_DIR} "
                            "(${_ferro_deps_missing}): run scripts/windows-deps ${CMAKE_SYSTEM_PROCESSOR} first")
    endif()

    # <cryptopp/...> as on Linux; minizip's headers both as <unzip.h> (its pkg-config
    # include directory) and as <minizip/unzip.h>.
    set_target_properties(ferro::cryptopp PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${FERRO_WINDOWS_DEPS_DIR}/include
        INTERFACE_LINK_LIBRARIES "${FERRO_WINDOWS_DEPS_DIR}/lib/libcryptopp.a;advapi32")
    set_target_properties(ferro::minizip PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${FERRO_WINDOWS_DEPS_DIR}/include/minizip;${FERRO_WINDOWS_DEPS_DIR}/include"
        # zlib named again after minizip: a static link resolves left to right, and zlib may
        # already stand earlier on the line for another user.
        INTERFACE_LINK_LIBRARIES "${FERRO_WINDOWS_DEPS_DIR}/lib/libminizip.a;${FERRO_MINGW_ZLIB_LIBRARY}")
else()
    find_package(ZLIB REQUIRED)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(FERRO_PC_MINIZIP REQUIRED IMPORTED_TARGET GLOBAL minizip)
    pkg_check_modules(FERRO_PC_CRYPTOPP REQUIRED IMPORTED_TARGET GLOBAL libcrypto++)

    target_link_libraries(ferro::zlib INTERFACE ZLIB::ZLIB)
    target_link_libraries(ferro::minizip INTERFACE PkgConfig::FERRO_PC_MINIZIP ferro::zlib)
    target_link_libraries(ferro::cryptopp INTERFACE PkgConfig::FERRO_PC_CRYPTOPP)
endif()
