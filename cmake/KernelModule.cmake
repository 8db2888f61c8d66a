# add_kernel_module(<name> SOURCES <files...>)
#
# Builds a loadable module for the stand-in kernel: a shared object named
# <name>.ko, compiled as kernel code (kernel headers only, no exceptions, no
# RTTI) and carrying the module record and .modinfo (licence, vermagic) that
# modpost would generate for a real kernel.
function(add_kernel_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  set(modsrc "${CMAKE_CURRENT_BINARY_DIR}/${name}.mod.cpp")
  file(GENERATE OUTPUT "${modsrc}" CONTENT "\
/* Generated like modpost's .mod.c: the module record and its vermagic. */
#include <linux/module.h>
#include <linux/vermagic.h>

MODULE_INFO(vermagic, VERMAGIC_STRING);

struct module __this_module
    __attribute__((section(\".gnu.linkonce.this_module\"))) = {
        .name = \"${name}\",
        .init = init_module,
        .exit = cleanup_module,
};
")
  add_library(${name} SHARED ${ARG_SOURCES} "${modsrc}")
  target_link_libraries(${name} PRIVATE standin_kernel_code)
  target_compile_definitions(${name} PRIVATE MODULE KBUILD_MODNAME="${name}")
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".ko")
  # A module's references to its own symbols bind inside it (init_module
  # would otherwise find the C library's system call of that name).
  target_link_options(${name} PRIVATE -Wl,-z,defs -Wl,-z,now -Wl,-Bsymbolic)
endfunction()
