# Warning set shared by every target of the project.
option(VELMORA_WERROR "Treat warnings as errors" ON)

function(velmora_apply_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor
        -Woverloaded-virtual -Wold-style-cast -Wnull-dereference
        -Wimplicit-fallthrough -Wformat=2)
    if(VELMORA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
        # GCC's optimiser reports null dereferences inside inlined Boost.Asio internals: warn
        # about them, but do not fail an optimised build on code that is not ours.
        target_compile_options(${target} PRIVATE
            $<$<CXX_COMPILER_ID:GNU>:-Wno-error=null-dereference>)
    endif()
endfunction()
