# The shipped executable's size. Every function and datum goes in a section of its own, so the
# linker drops what nothing reaches, the static runtime's unused parts included; release code is
# optimised for size (the work that takes time happens in system DLLs, not in our code).
# LTO is not used: GCC 12 of MinGW-w64 stops with an internal compiler error on this tree.
if(MINGW)
    add_compile_options(-ffunction-sections -fdata-sections)
    add_link_options(-Wl,--gc-sections)
    foreach(lang C CXX)
        string(REPLACE "-O3" "-Os" CMAKE_${lang}_FLAGS_RELEASE "${CMAKE_${lang}_FLAGS_RELEASE}")
    endforeach()
endif()
