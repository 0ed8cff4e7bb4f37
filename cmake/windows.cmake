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

# The target's architecture as Windows names it, for the zip's name and for the manifests'
# processorArchitecture (a 32-bit Windows refuses to start an exe whose manifest names
# another). The compiler's pointer size must agree with the toolchain's processor.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(SCANFLASH_WINDOWS_ARCHITECTURE x64)
    set(SCANFLASH_MANIFEST_ARCHITECTURE amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(SCANFLASH_WINDOWS_ARCHITECTURE x86)
    set(SCANFLASH_MANIFEST_ARCHITECTURE x86)
else()
    message(FATAL_ERROR "No Windows architecture for processor ${CMAKE_SYSTEM_PROCESSOR} "
                        "with ${CMAKE_SIZEOF_VOID_P}-byte pointers")
endif()

# Version resources and application manifests are compiled by windres.
enable_language(RC)

# Gives the Windows program TARGET a version resource (FileDescription DESCRIPTION, the
# project's name and version) and its application manifest, both from packaging/windows/.
# They are built as an object library of their own, so that the C++ warning and entry
# options the program links never reach windres.
function(scanflash_add_windows_resources target description)
    set(SCANFLASH_RC_PROGRAM ${target})
    set(SCANFLASH_RC_DESCRIPTION ${description})
    set(SCANFLASH_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.manifest.in
                   ${SCANFLASH_RC_MANIFEST} @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${rc} @ONLY)
    # windres reads the manifest; CMake's scan of the .rc sees only its #includes.
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${SCANFLASH_RC_MANIFEST})
    add_library(${target}_resources OBJECT ${rc})
    target_link_libraries(${target} PRIVATE ${target}_resources)
endfunction()
