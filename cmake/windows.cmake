# Parts of the build that exist only for Windows.

# Executables whose entry is wmain link this: -municode picks the mingw-w64 start-up code
# that hands wmain the UTF-16 command line, and defines UNICODE.
add_library(scanflash_wide_entry INTERFACE)
target_compile_options(scanflash_wide_entry INTERFACE -municode)
target_link_options(scanflash_wide_entry INTERFACE -municode)

# A cross build finds no GoogleTest for its target. Debian's googletest package ships the
# sources; they are built here with the cross compiler, as a system subproject so that the
# project's warning set does not apply to GoogleTest's headers. The subproject defines the
# GTest::gtest and GTest::gtest_main aliases the tests link.
if(SCANFLASH_TESTS AND CMAKE_CROSSCOMPILING)
    set(SCANFLASH_GOOGLETEST_SOURCE /usr/src/googletest/googletest
        CACHE PATH "GoogleTest sources built for the cross target")
    if(NOT EXISTS ${SCANFLASH_GOOGLETEST_SOURCE}/CMakeLists.txt)
        message(FATAL_ERROR "No GoogleTest sources in ${SCANFLASH_GOOGLETEST_SOURCE}: "
                            "install Debian's googletest package")
    endif()
    add_subdirectory(${SCANFLASH_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
                     EXCLUDE_FROM_ALL SYSTEM)
endif()
