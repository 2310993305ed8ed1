# How product binaries are built. The same sources give native Windows images in
# the windows-* presets and, in the host presets, shared objects that winsim loads.

if(NOT TARVIK_WINDOWS)
  # WCHAR is 16 bits on Windows; L"..." literals in product code must match.
  add_compile_options(-fshort-wchar -Wall -Wextra -Wno-unused-parameter)
  set(TARVIK_SANITIZE "" CACHE STRING "Sanitizers for the host build (address,undefined or thread)")
  if(TARVIK_SANITIZE)
    add_compile_options(-fsanitize=${TARVIK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=${TARVIK_SANITIZE})
  endif()
  set(TARVIK_DRIVER_DIR ${CMAKE_BINARY_DIR}/drivers)
  add_custom_target(tarvik_host_drivers)
endif()

set(TARVIK_VERSION_RC_IN ${CMAKE_CURRENT_LIST_DIR}/version.rc.in)

# Adds the version block (file and product version of the project) to a Windows image.
function(tarvik_version_resource target description filetype)
  set(TARVIK_RC_DESCRIPTION "${description}")
  set(TARVIK_RC_FILETYPE "${filetype}")
  get_target_property(suffix ${target} SUFFIX)
  if(NOT suffix)
    set(suffix ".exe")
  endif()
  set(TARVIK_RC_FILENAME "${target}${suffix}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${TARVIK_VERSION_RC_IN} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# tarvik_kernel_driver(<name> DESCRIPTION <text> SOURCES <files...> [USB])
# A WDM driver: <name>.sys on Windows, <name>.so in the host driver folder.
function(tarvik_kernel_driver name)
  cmake_parse_arguments(ARG "USB" "DESCRIPTION" "SOURCES;INCLUDES" ${ARGN})
  if(TARVIK_WINDOWS)
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES SUFFIX ".sys")
    target_include_directories(${name} SYSTEM PRIVATE /usr/${TARVIK_TRIPLET}/include/ddk)
    target_compile_definitions(${name} PRIVATE
      __INTRINSIC_DEFINED_InterlockedBitTestAndSet
      __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
    target_compile_options(${name} PRIVATE
      -ffreestanding -fno-exceptions -fno-rtti
      -fno-stack-protector -fno-threadsafe-statics -Wall -Wno-unused-parameter)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
      set(entry _DriverEntry@8)
    else()
      set(entry DriverEntry)
    endif()
    target_link_options(${name} PRIVATE
      -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,${entry} -Wl,--exclude-all-symbols
      -Wl,--image-base,0x10000 -Wl,--file-alignment,0x1000 -Wl,--section-alignment,0x1000
      -Wl,--nxcompat -Wl,--dynamicbase)
    target_link_libraries(${name} PRIVATE ntoskrnl hal)
    if(ARG_USB)
      target_link_libraries(${name} PRIVATE usbd)
    endif()
    target_link_libraries(${name} PRIVATE gcc)
    tarvik_version_resource(${name} "${ARG_DESCRIPTION}" VFT_DRV)
  else()
    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY ${TARVIK_DRIVER_DIR})
    # No tail calls: the verifier attributes a call to the driver code it returns to.
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -fno-optimize-sibling-calls)
    # A driver imports from the kernel library only, as a .sys imports from
    # ntoskrnl (the C library is there for the memcpy family ntoskrnl exports).
    target_link_libraries(${name} PRIVATE winsim_kernel)
    if(NOT TARVIK_SANITIZE)
      target_link_options(${name} PRIVATE -Wl,--no-undefined -nodefaultlibs)
      target_link_libraries(${name} PRIVATE c)
    endif()
    add_dependencies(tarvik_host_drivers ${name})
  endif()
  if(ARG_INCLUDES)
    target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  endif()
endfunction()

# tarvik_win32_program(<name> DESCRIPTION <text> SOURCES <files...> LIBS <libs...>)
# A GUI program: <name>.exe on Windows; on the host a static library of its
# sources that winsim runs in a simulated process.
function(tarvik_win32_program name)
  cmake_parse_arguments(ARG "" "DESCRIPTION" "SOURCES;LIBS;INCLUDES" ${ARGN})
  if(TARVIK_WINDOWS)
    add_executable(${name} WIN32 ${ARG_SOURCES})
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    tarvik_version_resource(${name} "${ARG_DESCRIPTION}" VFT_APP)
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC winsim_win32)
  endif()
  if(ARG_INCLUDES)
    target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  endif()
endfunction()
