# Every target of the project compiles with these warnings. LF_WERROR makes
# them errors: tools/build.sh (developers) and CI turn it on; a plain cmake
# build (users, packagers, other compilers) keeps them warnings, so a new
# compiler's false positive cannot break a released tree.
option(LF_WERROR "Treat compiler warnings as errors (developer and CI builds)" OFF)
add_compile_options(-Wall -Wextra)
if(LF_WERROR)
    add_compile_options(-Werror)
endif()
