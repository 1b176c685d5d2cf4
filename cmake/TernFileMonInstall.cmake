# cmake --install: what a product that embeds the component needs.
#   bin/      TernFileMon.dll, regex.dll (when built), ternwatch.exe and its
#             example rules file
#   include/  TernFileMon.h
#   lib/      the DLL's import library and the CMake package:
#             find_package(TernFileMon) gives the target TernFileMon::TernFileMon
include(CMakePackageConfigHelpers)

set(TERN_INSTALL_CMAKEDIR lib/cmake/TernFileMon)

target_include_directories(TernFileMon INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/TernFileMon/include>
  $<INSTALL_INTERFACE:include>)

install(TARGETS TernFileMon EXPORT TernFileMonTargets
        RUNTIME DESTINATION bin
        ARCHIVE DESTINATION lib)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/TernFileMon/include/ DESTINATION include
        FILES_MATCHING PATTERN "*.h")
# regex.dll is loaded at run time from the host executable's folder; hosts never link it.
if(TARGET regex)
  install(FILES $<TARGET_FILE:regex> DESTINATION bin)
endif()
install(TARGETS ternwatch RUNTIME DESTINATION bin)
install(FILES ${PROJECT_SOURCE_DIR}/host/ternwatch-rules.ini DESTINATION bin)

install(EXPORT TernFileMonTargets NAMESPACE TernFileMon:: DESTINATION ${TERN_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TernFileMonConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/TernFileMonConfig.cmake
                              INSTALL_DESTINATION ${TERN_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TernFileMonConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TernFileMonConfig.cmake
              ${CMAKE_BINARY_DIR}/TernFileMonConfigVersion.cmake
        DESTINATION ${TERN_INSTALL_CMAKEDIR})
