# What `cmake --install` gives an integrator, and the release archive (`--target package`):
#   bin/                     the overlay DLL, its loader and the reference host, debug information
#                            split off into <file>.debug beside each (linked by .gnu_debuglink);
#                            the 32-bit DLL and loader too, where OVERLAY_X86_BUILD_DIR names their tree
#   include/                 the DLL's C header; the host SDK's headers and all they include
#   lib/                     the host SDK's static libraries and Thrift's
#   lib/cmake/OverlayClient/ find_package(OverlayClient) -> OverlayClient::host_sdk
#   share/overlay_client/    the IPC's Thrift file, the protocol document, the licences
include(CMakePackageConfigHelpers)

set(OVERLAY_INSTALL_CMAKEDIR lib/cmake/OverlayClient)

# --- Binaries ----------------------------------------------------------------------------------
# The build tree keeps its binaries whole (tests and debuggers use them there). Installed ones are
# stripped of debug information and of the COFF symbol table (which nothing reads at run time and
# which alone doubles the DLL's size); both stay in <file>.debug beside them, which gdb finds by
# the debug link.
set(_binaries overlay_client overlay_loader)
if(OVERLAY_BUILD_TOOLS)
  list(APPEND _binaries overlay_host)
endif()
foreach(binary IN LISTS _binaries)
  if(CMAKE_OBJCOPY AND NOT MSVC)
    install(CODE "
      set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
      set(_name \"$<TARGET_FILE_NAME:${binary}>\")
      message(STATUS \"Installing (stripped, debug information in \${_name}.debug): \${_dir}/\${_name}\")
      file(MAKE_DIRECTORY \"\${_dir}\")
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \"$<TARGET_FILE:${binary}>\" \${_name}.debug
        WORKING_DIRECTORY \"\${_dir}\" COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --strip-all --add-gnu-debuglink=\${_name}.debug
        \"$<TARGET_FILE:${binary}>\" \${_name}
        WORKING_DIRECTORY \"\${_dir}\" COMMAND_ERROR_IS_FATAL ANY)
      file(CHMOD \"\${_dir}/\${_name}.debug\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)")
  else()
    install(PROGRAMS $<TARGET_FILE:${binary}> DESTINATION bin)
  endif()
endforeach()

# The 32-bit DLL, its loader and overlay_hook_x86.exe (which sets the loader's hook for the 64-bit
# host), built by the 32-bit tree (scripts/build-x86.sh) that this tree was
# pointed at: one package serves 32-bit and 64-bit games with the one 64-bit host, which finds
# overlay_client_x86.dll beside overlay_client_x64.dll.
if(OVERLAY_X86_BUILD_DIR AND NOT OVERLAY_ARCH STREQUAL "x86")
  find_program(OVERLAY_OBJCOPY_X86 i686-w64-mingw32-objcopy)
  foreach(binary IN ITEMS src/overlay/overlay_client/overlay_client_x86.dll
                          src/overlay/overlay_loader/overlay_loader_x86.dll tools/overlay_host/overlay_hook_x86.exe)
    set(_file ${OVERLAY_X86_BUILD_DIR}/${binary})
    get_filename_component(_name ${_file} NAME)
    install(CODE "
      set(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
      if(NOT EXISTS \"${_file}\")
        message(FATAL_ERROR \"${_file} is missing: build the 32-bit tree first (scripts/build-x86.sh)\")
      endif()
      message(STATUS \"Installing (stripped, debug information in ${_name}.debug): \${_dir}/${_name}\")
      file(MAKE_DIRECTORY \"\${_dir}\")
      execute_process(COMMAND \"${OVERLAY_OBJCOPY_X86}\" --only-keep-debug \"${_file}\" ${_name}.debug
        WORKING_DIRECTORY \"\${_dir}\" COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND \"${OVERLAY_OBJCOPY_X86}\" --strip-all --add-gnu-debuglink=${_name}.debug
        \"${_file}\" ${_name} WORKING_DIRECTORY \"\${_dir}\" COMMAND_ERROR_IS_FATAL ANY)
      file(CHMOD \"\${_dir}/${_name}.debug\" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)")
  endforeach()
endif()

# --- Headers -----------------------------------------------------------------------------------
# The C header where its own include line finds its companion.
install(FILES
  src/overlay/overlay_client/overlay_client_api.h
  src/overlay/overlay_client/overlay_client_api_result.h
  DESTINATION include/overlay/overlay_client)
if(OVERLAY_BUILD_TOOLS)
  install(DIRECTORY tools/host_sdk/ DESTINATION include/host_sdk FILES_MATCHING PATTERN "*.h")
  # What the host SDK's headers include, by the same paths as in the source tree.
  foreach(folder err win overlay/overlay_common/ipc)
    install(DIRECTORY src/${folder}/ DESTINATION include/${folder} FILES_MATCHING PATTERN "*.h")
  endforeach()
  # The IPC code generated from the Thrift file.
  install(DIRECTORY ${CMAKE_BINARY_DIR}/src/overlay/overlay_common/generated/overlay/overlay_common/ipc/
    DESTINATION include/overlay/overlay_common/ipc FILES_MATCHING PATTERN "*.h")
  install(DIRECTORY ${THRIFT_ROOT}/include/thrift DESTINATION include)

  # --- Libraries and the CMake package ---------------------------------------------------------
  # In link order: each needs only those after it.
  set(_sdk_libraries overlay_host_sdk overlay_ipc overlay_ipc_stub overlay_log overlay_err)
  install(TARGETS ${_sdk_libraries} ARCHIVE DESTINATION lib)
  install(FILES ${THRIFT_LIBRARY} DESTINATION lib)
  set(OVERLAY_SDK_LIBRARIES)
  foreach(library IN LISTS _sdk_libraries)
    list(APPEND OVERLAY_SDK_LIBRARIES "$<TARGET_FILE_NAME:${library}>")
  endforeach()
  get_filename_component(_thrift_name ${THRIFT_LIBRARY} NAME)
  list(APPEND OVERLAY_SDK_LIBRARIES ${_thrift_name})
  set(OVERLAY_SDK_SYSTEM_LIBRARIES ws2_32 shlwapi advapi32 user32 kernel32)
  # The Boost headers this build used, as the package's default when they live elsewhere than
  # the system's include folder.
  set(OVERLAY_SDK_BOOST_INCLUDE "${BOOST_INCLUDEDIR}")
  configure_file(cmake/OverlayClientConfig.cmake.in ${CMAKE_BINARY_DIR}/package/OverlayClientConfig.cmake.gen @ONLY)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package/OverlayClientConfig.cmake
    INPUT ${CMAKE_BINARY_DIR}/package/OverlayClientConfig.cmake.gen)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/OverlayClientConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES
    ${CMAKE_BINARY_DIR}/package/OverlayClientConfig.cmake
    ${CMAKE_BINARY_DIR}/package/OverlayClientConfigVersion.cmake
    DESTINATION ${OVERLAY_INSTALL_CMAKEDIR})
endif()

# --- Documents ---------------------------------------------------------------------------------
file(GLOB _idl ${PROJECT_SOURCE_DIR}/src/overlay/overlay_common/ipc/*.thrift)
install(FILES ${_idl} DESTINATION share/overlay_client)
install(FILES docs/host-protocol.md LICENSE THIRD_PARTY_NOTICES DESTINATION share/overlay_client OPTIONAL)

# --- Release archive ---------------------------------------------------------------------------
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME overlay-client)
set(CPACK_PACKAGE_VENDOR overlay-client)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(OVERLAY_ARCH STREQUAL "x86")
  set(CPACK_PACKAGE_FILE_NAME overlay-client-${PROJECT_VERSION}-win32)
else()
  set(CPACK_PACKAGE_FILE_NAME overlay-client-${PROJECT_VERSION}-win64)
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/release)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)
