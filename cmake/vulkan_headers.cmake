# Vulkan headers for the Windows target. MinGW ships none; Debian's (libvulkan-dev) serve once copied
# into a folder of our own, so that the rest of /usr/include stays out of the Windows build. Programs
# load vulkan-1.dll at run time: no import library, no prototypes.
set(OVERLAY_VULKAN_HEADERS_SOURCE /usr/include CACHE PATH "Folder holding the vulkan/ and vk_video/ headers")
set(overlay_vulkan_include ${CMAKE_BINARY_DIR}/vulkan-include)
foreach(folder vulkan vk_video)
  if(NOT EXISTS ${OVERLAY_VULKAN_HEADERS_SOURCE}/${folder})
    message(FATAL_ERROR "Vulkan headers not found in ${OVERLAY_VULKAN_HEADERS_SOURCE}/${folder}: "
      "install Debian's libvulkan-dev (scripts/bootstrap.sh does)")
  endif()
  file(COPY ${OVERLAY_VULKAN_HEADERS_SOURCE}/${folder} DESTINATION ${overlay_vulkan_include})
endforeach()

add_library(overlay_vulkan_headers INTERFACE)
target_include_directories(overlay_vulkan_headers SYSTEM INTERFACE ${overlay_vulkan_include})
target_compile_definitions(overlay_vulkan_headers INTERFACE VK_USE_PLATFORM_WIN32_KHR VK_NO_PROTOTYPES)
add_library(overlay::vulkan_headers ALIAS overlay_vulkan_headers)
