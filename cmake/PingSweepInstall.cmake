# Install rules for the registry as a library (component "dev"); pingsweep-reg
# is installed with the other programs (cli/CMakeLists.txt).
#
# Consumers get the static libraries, their headers under
# include/pingsweep/ (included as "core/...", "platform/registry/...",
# "registry/..."), a CMake package (find_package(PingSweep CONFIG REQUIRED
# COMPONENTS registry) -> PingSweep::registry) and pingsweep-registry.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PINGSWEEP_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/pingsweep)
set(PINGSWEEP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/PingSweep)

foreach(lib core platform_registry registry)
  set_target_properties(ps_${lib} PROPERTIES EXPORT_NAME ${lib} OUTPUT_NAME pingsweep_${lib}
                                             POSITION_INDEPENDENT_CODE ON)
  target_include_directories(ps_${lib} INTERFACE $<INSTALL_INTERFACE:${PINGSWEEP_INSTALL_INCLUDEDIR}>)
endforeach()
target_compile_features(ps_core INTERFACE cxx_std_20)

install(TARGETS ps_core ps_platform_registry ps_registry EXPORT PingSweepRegistryTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# The seam's public headers only; the store's own stay inside.
foreach(folder core registry)
  file(GLOB headers ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  install(FILES ${headers} DESTINATION ${PINGSWEEP_INSTALL_INCLUDEDIR}/${folder} COMPONENT dev)
endforeach()
install(FILES platform/registry/registry_service.h platform/registry/sqlite_registry.h
              platform/registry/registry_batch.h
              platform/registry/forwarding_registry_service.h
        DESTINATION ${PINGSWEEP_INSTALL_INCLUDEDIR}/platform/registry COMPONENT dev)

install(EXPORT PingSweepRegistryTargets NAMESPACE PingSweep:: DESTINATION ${PINGSWEEP_INSTALL_CMAKEDIR}
        COMPONENT dev)
configure_package_config_file(cmake/PingSweepConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/PingSweepConfig.cmake
                              INSTALL_DESTINATION ${PINGSWEEP_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/PingSweepConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/PingSweepConfig.cmake
              ${PROJECT_BINARY_DIR}/PingSweepConfigVersion.cmake
        DESTINATION ${PINGSWEEP_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own place, so the tree
# may be moved (or installed with --prefix) after the build.
file(RELATIVE_PATH PINGSWEEP_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PINGSWEEP_PC_TO_PREFIX "${PINGSWEEP_PC_TO_PREFIX}")
configure_file(cmake/pingsweep-registry.pc.in ${PROJECT_BINARY_DIR}/pingsweep-registry.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/pingsweep-registry.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)


if(BUILD_TESTING)
  # The example consumer, built against a tree installed into the build folder.
  add_test(NAME install_registry_consumer
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                   -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/examples/registry_consumer
                   -DWORK_DIR=${PROJECT_BINARY_DIR}/install_test -DSANITIZE=${PINGSWEEP_SANITIZE}
                   -DGENERATOR=${CMAKE_GENERATOR} -DCXX=${CMAKE_CXX_COMPILER}
                   -P ${PROJECT_SOURCE_DIR}/cmake/InstallConsumerTest.cmake)
  set_tests_properties(install_registry_consumer PROPERTIES LABELS "install" TIMEOUT 300)
endif()
