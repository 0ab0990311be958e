# The installer package, built with wixl (Debian's wixl/msitools) from resources/Quenvar.wxs through
# cmake/make-msi.sh.

# qv_msi_version(OUT VERSION): the package version of a program version A.B.C.D. Windows Installer
# compares only the first three fields of a product version, so D is folded into the third: A.B.(C*1000+D).
function(qv_msi_version out version)
    if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "Version ${version} is not A.B.C.D")
    endif()
    set(major ${CMAKE_MATCH_1})
    set(minor ${CMAKE_MATCH_2})
    set(patch ${CMAKE_MATCH_3})
    set(tweak ${CMAKE_MATCH_4})
    math(EXPR build "${patch} * 1000 + ${tweak}")
    if(major GREATER 255 OR minor GREATER 255 OR tweak GREATER 999 OR build GREATER 65535)
        message(FATAL_ERROR "Version ${version} has no package version: A and B at most 255, D at most 999, C*1000+D at most 65535")
    endif()
    set(${out} ${major}.${minor}.${build} PARENT_SCOPE)
endfunction()

# qv_msi_arch(OUT_WIXL OUT_NAME): wixl's name of the target's architecture (x64 or x86) and the one
# the package's file name carries, that of the build folder (x86_64 or i686).
function(qv_msi_arch out_wixl out_name)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(${out_wixl} x64 PARENT_SCOPE)
        set(${out_name} x86_64 PARENT_SCOPE)
    else()
        set(${out_wixl} x86 PARENT_SCOPE)
        set(${out_name} i686 PARENT_SCOPE)
    endif()
endfunction()

# qv_add_msi_target(TARGET EXE_TARGET): builds ${CMAKE_BINARY_DIR}/Quenvar-<version>-<x86_64|i686>.msi
# from EXE_TARGET's executable and checks its tables with cmake/check-msi.sh.
function(qv_add_msi_target name exe_target)
    find_program(QV_WIXL wixl)
    find_program(QV_MSIINFO msiinfo)
    find_program(QV_MSIBUILD msibuild)
    if(NOT QV_WIXL OR NOT QV_MSIINFO OR NOT QV_MSIBUILD)
        message(STATUS "No wixl/msiinfo/msibuild (Debian packages wixl, msitools): the installer package is left out")
        return()
    endif()
    qv_msi_version(msi_version ${PROJECT_VERSION})
    qv_msi_arch(arch arch_name)
    set(msi ${CMAKE_BINARY_DIR}/Quenvar-${PROJECT_VERSION}-${arch_name}.msi)
    # wixl resolves source files against its working directory and takes no absolute paths; it also
    # leaves an "Icon" folder there, so it runs in a folder of its own.
    set(work_dir ${CMAKE_BINARY_DIR}/msi)
    file(MAKE_DIRECTORY ${work_dir})
    file(RELATIVE_PATH icon ${work_dir} ${CMAKE_SOURCE_DIR}/resources/Quenvar.ico)
    file(RELATIVE_PATH exe_dir ${work_dir} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    set(wxs ${CMAKE_SOURCE_DIR}/resources/Quenvar.wxs)
    add_custom_command(OUTPUT ${msi}
        COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/make-msi.sh ${msi}.tmp -a ${arch} -D Arch=${arch} -D Version=${PROJECT_VERSION}
                -D MsiVersion=${msi_version} -D Exe=${exe_dir}/$<TARGET_FILE_NAME:${exe_target}> -D Icon=${icon} ${wxs}
        COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-msi.sh ${msi}.tmp ${msi_version}
        COMMAND ${CMAKE_COMMAND} -E rename ${msi}.tmp ${msi}
        WORKING_DIRECTORY ${work_dir}
        DEPENDS ${exe_target} ${wxs} ${CMAKE_SOURCE_DIR}/resources/Quenvar.ico ${CMAKE_SOURCE_DIR}/cmake/check-msi.sh
                ${CMAKE_SOURCE_DIR}/cmake/make-msi.sh
        COMMENT "Building and checking the installer package ${msi}"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${msi})
endfunction()
