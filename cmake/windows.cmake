# What differs in the Windows build (included from the top-level
# CMakeLists.txt when the toolchain is cmake/mingw-w64-i686.cmake). The code
# compiles unchanged; the differences are here.

# The SDK headers stand where platform/include stands on Linux. NOMINMAX keeps
# <windows.h> from defining min and max as macros, which would break
# std::min and std::max in any file that includes it. INITGUID makes the
# headers define the GUIDs and property keys they declare (as selectany
# data, so one copy survives the link): MinGW's import libraries don't
# carry PKEY_Device_FriendlyName and the like, and the Linux headers define
# theirs inline, so no source file has to include <initguid.h> first.
add_compile_definitions(UNICODE _UNICODE NOMINMAX INITGUID)

# The libraries the program calls into, by the name the other CMakeLists
# link against. Only what a program really calls ends up imported.
add_library(sonaret_platform INTERFACE)
target_link_libraries(sonaret_platform INTERFACE user32 gdi32 ole32 uuid shell32 comctl32 avrt)

# The libraries that Debian has no MinGW package of come from a prefix that
# scripts/build-windows-deps.sh fills. pkg-config must see only the target's
# .pc files there, never the build machine's. (Set here, not in the toolchain
# file: CMake reads that again for its compiler checks, without this
# project's variables, and the environment is shared.)
if(NOT SONARET_WINDOWS_DEPS)
    message(FATAL_ERROR "Set SONARET_WINDOWS_DEPS to the prefix scripts/build-windows-deps.sh built")
endif()
set(ENV{PKG_CONFIG_LIBDIR} ${SONARET_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Every library is static here, so pkg-config's private libraries count too
# (libmpg123 needs shlwapi).
set(PKG_CONFIG_ARGN --static)

# Test programs run under Wine, in a prefix of this build's own, in the
# chroot that scripts/trixie-root.sh keeps in its cache folder: fixed here for
# the tests that give programs a home of their own.
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/trixie-root.sh cache
                OUTPUT_VARIABLE SONARET_WINE_CACHE OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh
    ${CMAKE_BINARY_DIR}/wine)

# Called at the end of the top-level CMakeLists.txt: one test that every
# program of this build, tests included, imports only Windows' own DLLs, so
# that each runs with nothing beside it.
function(sonaret_check_windows_imports)
    set(programs "")
    set(dirs ${PROJECT_SOURCE_DIR})
    while(dirs)
        list(POP_FRONT dirs dir)
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(target IN LISTS targets)
            get_target_property(type ${target} TYPE)
            if(type STREQUAL "EXECUTABLE")
                list(APPEND programs $<TARGET_FILE:${target}>)
            endif()
        endforeach()
        get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
        list(APPEND dirs ${subdirs})
    endwhile()
    add_test(NAME WindowsBuild.ProgramsImportOnlySystemDlls
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-windows-imports.sh ${programs})
endfunction()
