# The kinds of targets the program's build makes, each with its flags set here once:
#   qv_library       a static library of the general-purpose units: one tier of lib/;
#   qv_unit_library  any other static library of ours (the program's units, test helpers);
#   qv_program       an executable with a wide entry point (wWinMain or wmain), WIN32 allowed;
#   qv_test_program  an executable with a narrow main (the GoogleTest programs, plain samples);
#   qv_fixture       a module the tests load (no units of ours).
# The libraries also state their tier: qv_library(NAME SOURCES... USES tiers...) records which
# headers the tier owns and which tiers it may include, and qv_check_tiers() makes a wrong-way
# include fail the build. qv_forbid_include() does the same for units of the program that must
# never reach a header, even through another one.
if(MINGW)
    set(QV_COMPILE_OPTIONS -Wall -Wextra)
    # Static runtime: the executables import nothing but system DLLs.
    set(QV_LINK_OPTIONS -static -static-libgcc -static-libstdc++)
    # The wide entry points wWinMain and wmain.
    set(QV_WIDE_ENTRY_OPTIONS -municode)
endif()

function(qv_library name)
    cmake_parse_arguments(ARG "" "" "USES;LINKS" ${ARGN})
    add_library(${name} STATIC ${ARG_UNPARSED_ARGUMENTS})
    target_compile_options(${name} PRIVATE ${QV_COMPILE_OPTIONS})
    target_link_libraries(${name} PUBLIC ${ARG_USES} ${ARG_LINKS})
    # The tier's own files (sources and the headers beside them) and everything its tiers may use.
    set(own "")
    foreach(source ${ARG_UNPARSED_ARGUMENTS})
        get_filename_component(path ${source} ABSOLUTE)
        list(APPEND own ${path})
        string(REGEX REPLACE "\\.cpp$" ".h" header ${path})
        if(NOT header STREQUAL path AND EXISTS ${header})
            list(APPEND own ${header})
        endif()
    endforeach()
    set(allowed ${own})
    foreach(used ${ARG_USES})
        get_property(used_allowed GLOBAL PROPERTY QV_TIER_ALLOWED_${used})
        list(APPEND allowed ${used_allowed})
    endforeach()
    list(REMOVE_DUPLICATES allowed)
    set_property(GLOBAL APPEND PROPERTY QV_TIERS ${name})
    set_property(GLOBAL PROPERTY QV_TIER_OWN_${name} ${own})
    set_property(GLOBAL PROPERTY QV_TIER_ALLOWED_${name} ${allowed})
endfunction()

function(qv_unit_library name)
    add_library(${name} STATIC ${ARGN})
    target_compile_options(${name} PRIVATE ${QV_COMPILE_OPTIONS})
endfunction()

# Records an existing target (one made elsewhere, such as qvtoken) as a tier owning aFiles.
function(qv_tier name)
    set(own "")
    foreach(file ${ARGN})
        get_filename_component(path ${file} ABSOLUTE)
        list(APPEND own ${path})
    endforeach()
    set_property(GLOBAL APPEND PROPERTY QV_TIERS ${name})
    set_property(GLOBAL PROPERTY QV_TIER_OWN_${name} ${own})
    set_property(GLOBAL PROPERTY QV_TIER_ALLOWED_${name} ${own})
endfunction()

function(qv_program name)
    add_executable(${name} ${ARGN})
    target_compile_options(${name} PRIVATE ${QV_COMPILE_OPTIONS})
    target_link_options(${name} PRIVATE ${QV_WIDE_ENTRY_OPTIONS} ${QV_LINK_OPTIONS})
endfunction()

function(qv_test_program name)
    add_executable(${name} ${ARGN})
    target_compile_options(${name} PRIVATE ${QV_COMPILE_OPTIONS})
    target_link_options(${name} PRIVATE ${QV_LINK_OPTIONS})
endfunction()

function(qv_fixture name)
    add_library(${name} SHARED ${ARGN})
    target_link_options(${name} PRIVATE ${QV_LINK_OPTIONS})
endfunction()

# Checks every include of every tier's files before anything of them is compiled: a header of a
# tier that the including tier does not use, or anything of app/, is an error. Run again whenever
# one of the files changes.
function(qv_check_tiers)
    get_property(tiers GLOBAL PROPERTY QV_TIERS)
    set(table "")
    set(all_files "")
    foreach(tier ${tiers})
        get_property(own GLOBAL PROPERTY QV_TIER_OWN_${tier})
        get_property(allowed GLOBAL PROPERTY QV_TIER_ALLOWED_${tier})
        string(APPEND table "set(QV_TIER_OWN_${tier} \"${own}\")\nset(QV_TIER_ALLOWED_${tier} \"${allowed}\")\n")
        list(APPEND all_files ${own})
    endforeach()
    string(APPEND table "set(QV_TIERS \"${tiers}\")\nset(QV_APP_DIR \"${CMAKE_SOURCE_DIR}/app\")\n")
    set(table_file ${CMAKE_BINARY_DIR}/QVTiers.cmake)
    file(WRITE ${table_file} "${table}")
    set(stamp ${CMAKE_BINARY_DIR}/QVTiers.stamp)
    add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -DQV_TIER_TABLE=${table_file} -P ${CMAKE_SOURCE_DIR}/cmake/QVCheckTiers.cmake
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${all_files} ${table_file} ${CMAKE_SOURCE_DIR}/cmake/QVCheckTiers.cmake
        COMMENT "Checking which way the library's includes run")
    add_custom_target(qv_tiers DEPENDS ${stamp})
    foreach(tier ${tiers})
        add_dependencies(${tier} qv_tiers)
    endforeach()
endfunction()

# qv_forbid_include(TARGET HEADER UNITS paths... INCLUDE_DIRS dirs... REASON text): before TARGET is
# compiled, fails the build when a file of one of the units (each path without extension; its .h
# and .cpp, where they exist) includes HEADER directly or through the headers it includes. Run
# again whenever a header of the include directories or a unit's file changes.
function(qv_forbid_include target header)
    cmake_parse_arguments(ARG "" "REASON" "UNITS;INCLUDE_DIRS" ${ARGN})
    get_filename_component(forbidden ${header} ABSOLUTE)
    get_filename_component(stem ${header} NAME_WE)
    set(units "")
    set(watched "")
    foreach(unit ${ARG_UNITS})
        get_filename_component(path ${unit} ABSOLUTE)
        list(APPEND units ${path})
        list(APPEND watched ${path}.h ${path}.cpp)
    endforeach()
    set(dirs "")
    foreach(dir ${ARG_INCLUDE_DIRS})
        get_filename_component(path ${dir} ABSOLUTE)
        list(APPEND dirs ${path})
        list(APPEND watched ${path}/*.h)
    endforeach()
    # A unit's file that appears later, and every header in the tree, rerun the check.
    file(GLOB_RECURSE watched_files CONFIGURE_DEPENDS ${watched})
    set(table_file ${CMAKE_BINARY_DIR}/QVReach-${target}-${stem}.cmake)
    file(WRITE ${table_file}
         "set(QV_REACH_UNITS \"${units}\")\nset(QV_REACH_FORBIDDEN \"${forbidden}\")\n"
         "set(QV_REACH_DIRS \"${dirs}\")\nset(QV_REACH_REASON \"${ARG_REASON}\")\n"
         "set(QV_REACH_ROOT \"${CMAKE_SOURCE_DIR}\")\n")
    set(stamp ${CMAKE_BINARY_DIR}/QVReach-${target}-${stem}.stamp)
    add_custom_command(OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -DQV_REACH_TABLE=${table_file} -P ${CMAKE_SOURCE_DIR}/cmake/QVCheckReach.cmake
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        DEPENDS ${watched_files} ${table_file} ${CMAKE_SOURCE_DIR}/cmake/QVCheckReach.cmake
        COMMENT "Checking that ${target}'s listed units never include ${stem}.h")
    add_custom_target(qv_reach_${target}_${stem} DEPENDS ${stamp})
    add_dependencies(${target} qv_reach_${target}_${stem})
endfunction()
