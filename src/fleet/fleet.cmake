# The fleet link: its sources join quillon_core with libmosquitto. A build without the library (the
# Windows one) keeps the configuration keys and a link that says MQTT is not in this build.
set(FLEET_DIR ${PROJECT_SOURCE_DIR}/src/fleet)
if(NOT WIN32)
    pkg_check_modules(MOSQUITTO IMPORTED_TARGET libmosquitto)
endif()
if(NOT MOSQUITTO_FOUND)
    message(STATUS "libmosquitto not used: the program is built without the fleet link")
    target_sources(quillon_core PRIVATE ${FLEET_DIR}/fleet_config.cpp ${FLEET_DIR}/nofleet/fleet.cpp)
    return()
endif()
target_sources(quillon_core PRIVATE ${FLEET_DIR}/fleet_config.cpp ${FLEET_DIR}/fleet_messages.cpp
                                    ${FLEET_DIR}/fleet.cpp)
target_link_libraries(quillon_core PRIVATE PkgConfig::MOSQUITTO)
set_source_files_properties(${FLEET_DIR}/fleet.cpp PROPERTIES
    COMPILE_DEFINITIONS QUILLON_VERSION="${PROJECT_VERSION}")
