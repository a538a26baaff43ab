# The release image: the stub compiled for Windows on 64-bit Arm as freestanding code and
# linked by lld-link with no runtime library, against import libraries made from our own
# .def files. Produces stub.lib (every stub object, for linking images with a payload),
# the import libraries and installer.exe without a payload.
find_program(RELEASE_CLANG NAMES clang++ clang++-14 REQUIRED)
find_program(RELEASE_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
find_program(RELEASE_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)
find_program(RELEASE_LIB NAMES llvm-lib llvm-lib-14 REQUIRED)

set(RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
# Sized for the smallest image: -Oz, and link-time optimisation across the stub's objects.
# Unwind tables stay (.pdata/.xdata): 64-bit Arm Windows needs unwind data for every
# function that is not a leaf, or a fault cannot be unwound and reported.
set(RELEASE_CXX_FLAGS --target=aarch64-pc-windows-msvc -std=c++20 -ffreestanding -nostdinc
    -fno-exceptions -fno-rtti -fasynchronous-unwind-tables -Oz -Wall -Wextra -Werror
    -I${CMAKE_SOURCE_DIR})
# What the compiler calls on its own (memset, memcpy, the stack probe) must be plain
# machine code: calls to them are made during link-time code generation, after bitcode
# from the archive could still be pulled in.
set(RELEASE_LTO_FLAG -flto)

set(RELEASE_SOURCES ${STUB_SUPPORT_SOURCES} ${STUB_STEP_SOURCES}
    ${CMAKE_SOURCE_DIR}/stub/driver/run_installer.cpp
    ${CMAKE_SOURCE_DIR}/stub/driver/entry_point.cpp
    ${CMAKE_SOURCE_DIR}/stub/support/compiler_support.cpp)

set(RELEASE_OBJECTS)
foreach(source ${RELEASE_SOURCES})
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
  string(REPLACE "/" "_" object_name ${relative})
  set(object ${RELEASE_DIR}/obj/${object_name}.obj)
  set(lto ${RELEASE_LTO_FLAG})
  if(source MATCHES "compiler_support.cpp$")
    set(lto)
  endif()
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${RELEASE_DIR}/obj
    COMMAND ${RELEASE_CLANG} ${RELEASE_CXX_FLAGS} ${lto} -MD -MF ${object}.d -c ${source} -o ${object}
    DEPENDS ${source}
    DEPFILE ${object}.d
    COMMENT "Compiling ${relative} for ARM64 Windows"
    VERBATIM)
  list(APPEND RELEASE_OBJECTS ${object})
endforeach()

set(RELEASE_IMPORT_LIBS)
foreach(dll kernel32 advapi32 shell32)
  set(import_lib ${RELEASE_DIR}/${dll}.lib)
  add_custom_command(
    OUTPUT ${import_lib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${RELEASE_DIR}
    COMMAND ${RELEASE_DLLTOOL} -m arm64 -d ${CMAKE_SOURCE_DIR}/platform/${dll}.def -l ${import_lib}
    DEPENDS ${CMAKE_SOURCE_DIR}/platform/${dll}.def
    COMMENT "Making the import library for ${dll}.dll"
    VERBATIM)
  list(APPEND RELEASE_IMPORT_LIBS ${import_lib})
endforeach()

add_custom_command(
  OUTPUT ${RELEASE_DIR}/stub.lib
  COMMAND ${CMAKE_COMMAND} -E rm -f ${RELEASE_DIR}/stub.lib
  COMMAND ${RELEASE_LIB} /out:${RELEASE_DIR}/stub.lib ${RELEASE_OBJECTS}
  DEPENDS ${RELEASE_OBJECTS}
  COMMENT "Archiving the stub's ARM64 objects"
  VERBATIM)

# Every image links the same way; tools/ links images with a payload's resources too.
set(RELEASE_LINK_FLAGS /nodefaultlib /entry:InstallerEntry /subsystem:windows /machine:arm64
    /dynamicbase /nxcompat /guard:no /opt:ref /opt:icf)
add_custom_command(
  OUTPUT ${RELEASE_DIR}/installer.exe
  COMMAND ${RELEASE_LLD_LINK} ${RELEASE_LINK_FLAGS} ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS}
          /out:${RELEASE_DIR}/installer.exe /map:${RELEASE_DIR}/installer.map
  DEPENDS ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS}
  COMMENT "Linking the ARM64 release image without a runtime library"
  VERBATIM)
add_custom_target(release_image ALL DEPENDS ${RELEASE_DIR}/installer.exe)

# A test image that makes the compiler emit its own calls (stack probe, memset, memcpy):
# it links only if the stub's objects supply them.
set(PROBE_SOURCE ${CMAKE_SOURCE_DIR}/tests/image/compiler_needs_probe.cpp)
add_custom_command(
  OUTPUT ${RELEASE_DIR}/compiler_needs_probe.exe
  COMMAND ${RELEASE_CLANG} ${RELEASE_CXX_FLAGS} -c ${PROBE_SOURCE} -o ${RELEASE_DIR}/compiler_needs_probe.obj
  COMMAND ${RELEASE_LLD_LINK} /nodefaultlib /entry:ProbeEntry /subsystem:windows /machine:arm64
          ${RELEASE_DIR}/compiler_needs_probe.obj ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS}
          /out:${RELEASE_DIR}/compiler_needs_probe.exe /map:${RELEASE_DIR}/compiler_needs_probe.map
  DEPENDS ${PROBE_SOURCE} ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS}
  COMMENT "Linking a test image that needs the compiler's own helpers"
  VERBATIM)
add_custom_target(compiler_needs_probe ALL DEPENDS ${RELEASE_DIR}/compiler_needs_probe.exe)

# Small freestanding ARM64 programs built with the release flags and linked like the image
# (the stub's objects supply the compiler's own helpers): the setup stand-ins, and the test
# programs that run the image under Wine.
function(add_release_program name entry subsystem)
  set(objects)
  foreach(source ${ARGN})
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
    string(REPLACE "/" "_" object_name ${relative})
    set(object ${RELEASE_DIR}/obj/${name}/${object_name}.obj)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${RELEASE_DIR}/obj/${name}
      COMMAND ${RELEASE_CLANG} ${RELEASE_CXX_FLAGS} -MD -MF ${object}.d -c ${source} -o ${object}
      DEPENDS ${source}
      DEPFILE ${object}.d
      COMMENT "Compiling ${relative} for ARM64 Windows (${name})"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  add_custom_command(
    OUTPUT ${RELEASE_DIR}/${name}.exe
    COMMAND ${RELEASE_LLD_LINK} /nodefaultlib /entry:${entry} /subsystem:${subsystem} /machine:arm64
            /dynamicbase /nxcompat /guard:no ${objects} ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS}
            ${${name}_EXTRA_LIBS} /out:${RELEASE_DIR}/${name}.exe
    DEPENDS ${objects} ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS} ${${name}_EXTRA_LIBS}
    COMMENT "Linking ${name}.exe for ARM64 Windows"
    VERBATIM)
  add_custom_target(${name}_pe ALL DEPENDS ${RELEASE_DIR}/${name}.exe)
endfunction()

set(FREESTANDING_STANDIN_DIR ${CMAKE_SOURCE_DIR}/tools/standins/freestanding)
set(FREESTANDING_STANDIN_SUPPORT ${FREESTANDING_STANDIN_DIR}/standin_text.cpp ${FREESTANDING_STANDIN_DIR}/standin_run.cpp)
# The setup stand-in can rename its archive's folder, which the stub's platform leaves out.
set(setup_standin_EXTRA_LIBS ${RELEASE_DIR}/neighbour_kernel32.lib)
add_custom_command(
  OUTPUT ${RELEASE_DIR}/neighbour_kernel32.lib
  COMMAND ${RELEASE_DLLTOOL} -m arm64 -d ${FREESTANDING_STANDIN_DIR}/neighbour_kernel32.def
          -l ${RELEASE_DIR}/neighbour_kernel32.lib
  DEPENDS ${FREESTANDING_STANDIN_DIR}/neighbour_kernel32.def
  COMMENT "Making the import library for the setup stand-in's renaming"
  VERBATIM)
add_release_program(setup_standin FreestandingSetupEntry windows
  ${FREESTANDING_STANDIN_DIR}/setup_standin.cpp ${FREESTANDING_STANDIN_SUPPORT})
add_release_program(installed_setup_standin FreestandingInstalledSetupEntry windows
  ${FREESTANDING_STANDIN_DIR}/installed_setup_standin.cpp ${FREESTANDING_STANDIN_DIR}/sha256.cpp
  ${FREESTANDING_STANDIN_SUPPORT})
add_release_program(exit_code_parent ExitCodeParentEntry console
  ${CMAKE_SOURCE_DIR}/tests/wine/exit_code_parent.cpp ${FREESTANDING_STANDIN_SUPPORT})
add_release_program(fault_probe FaultProbeEntry windows ${CMAKE_SOURCE_DIR}/tests/wine/fault_probe.cpp)

# Images with a payload link the same way: tools/image/make-installer reads this file.
string(JOIN "\n" RELEASE_LINK_RESPONSE ${RELEASE_LINK_FLAGS} ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS})
file(WRITE ${RELEASE_DIR}/image-link.rsp "${RELEASE_LINK_RESPONSE}\n")

# The program that drew resources/pellora.ico; a test checks that it still draws it.
find_package(ZLIB REQUIRED)
add_executable(make_icon tools/icon/make_icon.cpp)
target_compile_options(make_icon PRIVATE ${WARNINGS})
target_link_libraries(make_icon PRIVATE ZLIB::ZLIB)

# The demo image, laid out as the release payload is: a 7z archive made here under "B7"
# and the setup stand-in (tools/standins/setup_standin, a simulated program) packed by the
# cabinet maker under "BL"; signed with a throwaway certificate kept beside it for
# verification.
set(DEMO_IMAGE_DIR ${RELEASE_DIR}/demo)
add_custom_command(
  OUTPUT ${DEMO_IMAGE_DIR}/PELLORA.PACKED.7Z
  COMMAND ${CMAKE_SOURCE_DIR}/tools/image/make-demo-archive ${DEMO_IMAGE_DIR}/PELLORA.PACKED.7Z
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/image/make-demo-archive
  COMMENT "Making the demo product archive with 7-Zip"
  VERBATIM)
file(GLOB RESOURCE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/*)
add_custom_command(
  OUTPUT ${DEMO_IMAGE_DIR}/installer.exe ${DEMO_IMAGE_DIR}/signing-cert.pem ${DEMO_IMAGE_DIR}/setup.exe
  # Stripped: the stand-in needs no debugging information inside the image.
  COMMAND ${CMAKE_STRIP} -o ${DEMO_IMAGE_DIR}/setup.exe $<TARGET_FILE:setup_standin>
  COMMAND ${CMAKE_COMMAND} -E env PELLORA_CABINET_MAKER=$<TARGET_FILE:make_cabinet>
          ${CMAKE_SOURCE_DIR}/tools/image/make-installer
          --archive ${DEMO_IMAGE_DIR}/PELLORA.PACKED.7Z --archive-type B7
          --setup ${DEMO_IMAGE_DIR}/setup.exe --setup-type BL
          --release-dir ${RELEASE_DIR} --keep-certificate ${DEMO_IMAGE_DIR}/signing-cert.pem
          --output ${DEMO_IMAGE_DIR}/installer.exe
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/image/make-installer ${DEMO_IMAGE_DIR}/PELLORA.PACKED.7Z setup_standin
          make_cabinet ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS} ${RESOURCE_FILES}
  COMMENT "Building and signing the demo release image"
  VERBATIM)
add_custom_target(demo_image ALL DEPENDS ${DEMO_IMAGE_DIR}/installer.exe)

# The same demo payload for Wine: the archive with the setup stand-in built as an ARM64
# image, so that an installation under Wine runs nothing but ARM64 Windows code.
set(DEMO_WINE_DIR ${RELEASE_DIR}/demo-wine)
add_custom_command(
  OUTPUT ${DEMO_WINE_DIR}/installer.exe
  COMMAND ${CMAKE_COMMAND} -E env PELLORA_CABINET_MAKER=$<TARGET_FILE:make_cabinet>
          ${CMAKE_SOURCE_DIR}/tools/image/make-installer
          --archive ${DEMO_IMAGE_DIR}/PELLORA.PACKED.7Z --archive-type B7
          --setup ${RELEASE_DIR}/setup_standin.exe --setup-type BL
          --release-dir ${RELEASE_DIR} --output ${DEMO_WINE_DIR}/installer.exe
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/image/make-installer ${DEMO_IMAGE_DIR}/PELLORA.PACKED.7Z
          ${RELEASE_DIR}/setup_standin.exe make_cabinet ${RELEASE_DIR}/stub.lib ${RELEASE_IMPORT_LIBS} ${RESOURCE_FILES}
  COMMENT "Building and signing the demo release image for Wine"
  VERBATIM)
add_custom_target(demo_wine_image ALL DEPENDS ${DEMO_WINE_DIR}/installer.exe)
