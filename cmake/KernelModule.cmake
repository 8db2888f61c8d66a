# add_kernel_module(<target> SOURCES <files...> [MODNAME <name>] [RELEASE <release>])
#
# Builds a loadable module for the stand-in kernel: a shared object named
# <name>.ko (the target's name unless MODNAME is given), compiled as kernel
# code (kernel headers only, no exceptions, no RTTI) and carrying the module
# record and .modinfo (licence, vermagic) that modpost would generate for a
# real kernel. RELEASE builds it against the headers of another kernel
# release, into a directory of its own: such a module is for that kernel only.
function(add_kernel_module target)
  cmake_parse_arguments(ARG "" "MODNAME;RELEASE" "SOURCES" ${ARGN})
  set(modname "${target}")
  if(ARG_MODNAME)
    set(modname "${ARG_MODNAME}")
  endif()
  set(modsrc "${CMAKE_CURRENT_BINARY_DIR}/${target}.mod.cpp")
  file(GENERATE OUTPUT "${modsrc}" CONTENT "\
/* Generated like modpost's .mod.c: the module record and its vermagic. */
#include <linux/module.h>
#include <linux/vermagic.h>

MODULE_INFO(vermagic, VERMAGIC_STRING);

struct module __this_module
    __attribute__((section(\".gnu.linkonce.this_module\"))) = {
        .name = \"${modname}\",
        .init = init_module,
        .exit = cleanup_module,
};
")
  add_library(${target} SHARED ${ARG_SOURCES} "${modsrc}")
  target_link_libraries(${target} PRIVATE standin_kernel_code)
  target_compile_definitions(${target} PRIVATE MODULE KBUILD_MODNAME="${modname}")
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".ko" OUTPUT_NAME "${modname}")
  if(ARG_RELEASE)
    set(gen "${CMAKE_CURRENT_BINARY_DIR}/${target}-headers")
    velmora_kernel_headers("${gen}" "${ARG_RELEASE}")
    target_include_directories(${target} BEFORE PRIVATE "${gen}")
    set_target_properties(${target} PROPERTIES
      LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/${ARG_RELEASE}")
  endif()
  # A module's references to its own symbols bind inside it (init_module
  # would otherwise find the C library's system call of that name). Every
  # symbol must be this kernel's, except in a module for another release,
  # which may name what only that kernel exports.
  target_link_options(${target} PRIVATE -Wl,-z,now -Wl,-Bsymbolic)
  # Clang links its sanitizer runtimes into the program only: a module of a
  # sanitized clang build finds them there when it is loaded.
  if(NOT ARG_RELEASE AND NOT (VELMORA_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
endfunction()
