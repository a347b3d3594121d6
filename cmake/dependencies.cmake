# Third-party dependencies. Nothing of them lives in this repository:
#  - Apache Thrift's C++ library for Windows, built by scripts/bootstrap.sh into a user cache;
#  - the Thrift compiler (Debian's thrift-compiler) that generates our IPC code;
#  - Boost headers (Debian's libboost-dev), header-only;
#  - CLI11 and nlohmann-json headers (Debian's libcli11-dev, nlohmann-json3-dev), header-only;
#  - GoogleTest sources (Debian's googletest), compiled here for the target.

# --- Apache Thrift ---------------------------------------------------------------------------
set(THRIFT_ROOT "$ENV{THRIFT_ROOT}" CACHE PATH "Install folder of Thrift's C++ library for the target")
if(NOT THRIFT_ROOT)
  # The one built for this tree's architecture (scripts/bootstrap.sh builds both).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_thrift_triple i686-w64-mingw32)
  else()
    set(_thrift_triple x86_64-w64-mingw32)
  endif()
  file(GLOB _thrift_candidates "$ENV{HOME}/.cache/overlay-client/thrift-0.17.0-${_thrift_triple}-*")
  list(SORT _thrift_candidates)
  if(_thrift_candidates)
    list(GET _thrift_candidates -1 _thrift_root)
    set(THRIFT_ROOT "${_thrift_root}" CACHE PATH "" FORCE)
  endif()
endif()
if(NOT EXISTS "${THRIFT_ROOT}/include/thrift/Thrift.h")
  message(FATAL_ERROR "Thrift's C++ library was not found (THRIFT_ROOT='${THRIFT_ROOT}'); run scripts/bootstrap.sh")
endif()
find_library(THRIFT_LIBRARY NAMES thrift thriftmd thriftmt PATHS ${THRIFT_ROOT}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(overlay_thrift STATIC IMPORTED GLOBAL)
set_target_properties(overlay_thrift PROPERTIES IMPORTED_LOCATION ${THRIFT_LIBRARY})
set(_thrift_includes ${THRIFT_ROOT}/include)
if(EXISTS ${THRIFT_ROOT}/include-casefold)
  # Thrift's Windows headers include mixed-case system header names.
  list(APPEND _thrift_includes ${THRIFT_ROOT}/include-casefold)
endif()
target_include_directories(overlay_thrift SYSTEM INTERFACE ${_thrift_includes})
target_link_libraries(overlay_thrift INTERFACE ws2_32 shlwapi advapi32)
add_library(overlay::thrift ALIAS overlay_thrift)

find_program(THRIFT_COMPILER thrift REQUIRED)

# --- Boost (headers only) --------------------------------------------------------------------
# A folder holding only a link to the host's boost headers, so that no other host header is
# visible to the cross compiler.
# On Windows, point BOOST_INCLUDEDIR at the folder that holds boost/.
set(BOOST_INCLUDEDIR "$ENV{BOOST_INCLUDEDIR}" CACHE PATH "Folder that holds the boost/ headers")
if(BOOST_INCLUDEDIR)
  set(OVERLAY_BOOST_INCLUDE ${BOOST_INCLUDEDIR})
else()
  set(OVERLAY_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
  if(NOT EXISTS ${OVERLAY_BOOST_INCLUDE}/boost)
    file(MAKE_DIRECTORY ${OVERLAY_BOOST_INCLUDE})
    file(CREATE_LINK /usr/include/boost ${OVERLAY_BOOST_INCLUDE}/boost SYMBOLIC)
  endif()
endif()
add_library(overlay_boost INTERFACE)
target_include_directories(overlay_boost SYSTEM INTERFACE ${OVERLAY_BOOST_INCLUDE})
add_library(overlay::boost ALIAS overlay_boost)
target_include_directories(overlay_thrift SYSTEM INTERFACE ${OVERLAY_BOOST_INCLUDE})

# --- CLI11 and nlohmann-json (headers only), for the reference host ------------------------------
# Like Boost: a folder per library holding only a link to its headers (Debian's libcli11-dev and
# nlohmann-json3-dev). On Windows, point CLI11_INCLUDEDIR / NLOHMANN_JSON_INCLUDEDIR at the folders
# that hold CLI/ and nlohmann/.
foreach(lib IN ITEMS cli11:CLI11:CLI nlohmann_json:NLOHMANN_JSON:nlohmann)
  string(REPLACE ":" ";" parts ${lib})
  list(GET parts 0 name)
  list(GET parts 1 variable)
  list(GET parts 2 folder)
  set(${variable}_INCLUDEDIR "$ENV{${variable}_INCLUDEDIR}" CACHE PATH "Folder that holds the ${folder}/ headers")
  set(_include ${${variable}_INCLUDEDIR})
  if(NOT _include)
    set(_include ${CMAKE_BINARY_DIR}/${name}-include)
    if(NOT EXISTS ${_include}/${folder})
      file(MAKE_DIRECTORY ${_include})
      file(CREATE_LINK /usr/include/${folder} ${_include}/${folder} SYMBOLIC)
    endif()
  endif()
  add_library(overlay_${name} INTERFACE)
  target_include_directories(overlay_${name} SYSTEM INTERFACE ${_include})
  add_library(overlay::${name} ALIAS overlay_${name})
endforeach()

# --- GoogleTest --------------------------------------------------------------------------------
if(OVERLAY_BUILD_TESTS OR OVERLAY_BUILD_BENCH)
  set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  add_library(overlay_gtest_main INTERFACE)
  target_link_libraries(overlay_gtest_main INTERFACE gtest_main gmock)
  add_library(overlay::gtest_main ALIAS overlay_gtest_main)
  add_library(overlay_gtest INTERFACE)
  target_link_libraries(overlay_gtest INTERFACE gtest gmock)
  add_library(overlay::gtest ALIAS overlay_gtest)
endif()
