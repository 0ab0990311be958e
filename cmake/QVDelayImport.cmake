# qv_delay_import(TARGET DLL): an imported library TARGET that binds the functions of the system
# DLL only when one of them is first called (a delay-import library), instead of at process start.
# It is made from MinGW-w64's import library of the DLL by the toolchain's nm and dlltool. What
# loads the DLL, and what a call does when it cannot be loaded, is lib/DelayLoadU.cpp; a target
# linking one of these must also link qvdelayload, which carries those hooks.
if(MINGW)
    string(REGEX REPLACE "g\\+\\+(-posix)?$" "dlltool" QV_DLLTOOL "${CMAKE_CXX_COMPILER}")
    string(REGEX REPLACE "g\\+\\+(-posix)?$" "nm" QV_NM "${CMAKE_CXX_COMPILER}")
endif()

function(qv_delay_import target dll)
    string(TOLOWER ${dll} dll)
    get_filename_component(stem ${dll} NAME_WE)
    if(NOT MINGW)
        # MSVC: the linker's own /DELAYLOAD does the same.
        add_library(${target} INTERFACE IMPORTED)
        set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${stem};delayimp"
                                                   INTERFACE_LINK_OPTIONS "/DELAYLOAD:${dll}")
        return()
    endif()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${stem}.a
                    OUTPUT_VARIABLE import_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(dir ${CMAKE_BINARY_DIR}/delayimp)
    set(out ${dir}/lib${stem}-delay.a)
    if(NOT EXISTS ${out} OR ${import_lib} IS_NEWER_THAN ${out})
        file(MAKE_DIRECTORY ${dir})
        execute_process(COMMAND ${QV_NM} -g --defined-only ${import_lib} OUTPUT_VARIABLE symbols
                        RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "cannot read ${import_lib}")
        endif()
        # Every function of the import library ("T NAME"; data exports have no code symbol). On
        # i686 the names carry the C prefix "_" and stdcall's "@bytes": dlltool adds the one back
        # and --kill-at drops the other from the imported name, as the DLL exports it.
        string(REGEX MATCHALL "[^\n]* T [^\n]*" lines "${symbols}")
        set(def "LIBRARY ${dll}\nEXPORTS\n")
        foreach(line ${lines})
            string(REGEX REPLACE ".* T " "" name "${line}")
            if(CMAKE_SIZEOF_VOID_P EQUAL 4)
                string(REGEX REPLACE "^_" "" name "${name}")
            endif()
            string(APPEND def "${name}\n")
        endforeach()
        file(WRITE ${dir}/${stem}.def "${def}")
        set(kill_at "")
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            set(kill_at --kill-at)
        endif()
        # Run in the folder: dlltool names the library's symbols after the output path it is given.
        execute_process(COMMAND ${QV_DLLTOOL} ${kill_at} --input-def ${stem}.def --dllname ${dll}
                                --output-delaylib lib${stem}-delay.a
                        WORKING_DIRECTORY ${dir} RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "dlltool could not make ${out}")
        endif()
    endif()
    add_library(${target} STATIC IMPORTED)
    set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${out})
endfunction()
