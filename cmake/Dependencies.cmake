# zlib, libdeflate, TinyXML-2, Boost and libzip (pkgtool pack's writer): Debian's packages
# natively; for MinGW, zlib from libz-mingw-w64-dev and the rest from .deps/mingw, which
# scripts/setup builds. Hashes and
# signatures: the system's CNG on Windows, Debian's OpenSSL (libcrypto) natively.

# imported_library(TARGET HEADER LIBRARY): a library found where Debian installs it, with
# neither a CMake package nor a pkg-config file to find it by.
function(imported_library target header library)
  string(MAKE_C_IDENTIFIER ${target} id)
  find_path(${id}_INCLUDE_DIR ${header} REQUIRED)
  find_library(${id}_LIBRARY ${library} REQUIRED)
  add_library(${target} UNKNOWN IMPORTED)
  set_target_properties(${target} PROPERTIES
    IMPORTED_LOCATION ${${id}_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${${id}_INCLUDE_DIR})
endfunction()

if(WIN32)
  set(mingw_deps ${PROJECT_SOURCE_DIR}/.deps/mingw)
  foreach(lib libtinyxml2.a libboost_filesystem.a libdeflate.a libzip.a)
    if(NOT EXISTS ${mingw_deps}/lib/${lib})
      message(FATAL_ERROR "MinGW dependencies missing (${lib}): run scripts/setup")
    endif()
  endforeach()

  add_library(ZLIB::ZLIB STATIC IMPORTED)
  set_target_properties(ZLIB::ZLIB PROPERTIES IMPORTED_LOCATION /usr/x86_64-w64-mingw32/lib/libz.a)

  add_library(tinyxml2::tinyxml2 STATIC IMPORTED)
  set_target_properties(tinyxml2::tinyxml2 PROPERTIES
    IMPORTED_LOCATION ${mingw_deps}/lib/libtinyxml2.a
    INTERFACE_INCLUDE_DIRECTORIES ${mingw_deps}/include)

  add_library(libdeflate::libdeflate STATIC IMPORTED)
  set_target_properties(libdeflate::libdeflate PROPERTIES
    IMPORTED_LOCATION ${mingw_deps}/lib/libdeflate.a
    INTERFACE_INCLUDE_DIRECTORIES ${mingw_deps}/include)

  add_library(libzip::zip STATIC IMPORTED)
  set_target_properties(libzip::zip PROPERTIES
    IMPORTED_LOCATION ${mingw_deps}/lib/libzip.a
    INTERFACE_INCLUDE_DIRECTORIES ${mingw_deps}/include
    INTERFACE_COMPILE_DEFINITIONS "ZIP_STATIC"
    INTERFACE_LINK_LIBRARIES "ZLIB::ZLIB;advapi32")

  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${mingw_deps}/include
    INTERFACE_COMPILE_DEFINITIONS "BOOST_ALL_NO_LIB")
  add_library(Boost::filesystem STATIC IMPORTED)
  set_target_properties(Boost::filesystem PROPERTIES
    IMPORTED_LOCATION ${mingw_deps}/lib/libboost_filesystem.a
    INTERFACE_LINK_LIBRARIES Boost::headers
    INTERFACE_COMPILE_DEFINITIONS "BOOST_FILESYSTEM_STATIC_LINK")
else()
  find_package(ZLIB REQUIRED)
  find_package(Boost 1.74 REQUIRED COMPONENTS filesystem)
  find_package(OpenSSL 3.0 REQUIRED COMPONENTS Crypto)
  imported_library(tinyxml2::tinyxml2 tinyxml2.h tinyxml2)
  imported_library(libdeflate::libdeflate libdeflate.h deflate)
  imported_library(libzip::zip zip.h zip)
endif()

if(LAUNCHER_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
