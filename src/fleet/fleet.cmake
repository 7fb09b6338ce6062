# The fleet link, a layer of its own (quillon_fleet) over the console, with libmosquitto PRIVATE to it. A build without the library (the
# Windows one) keeps the configuration keys and a link that says MQTT is not in this build.
set(FLEET_DIR ${PROJECT_SOURCE_DIR}/src/fleet)
if(NOT WIN32)
    pkg_check_modules(MOSQUITTO IMPORTED_TARGET libmosquitto)
endif()
if(NOT MOSQUITTO_FOUND)
    message(STATUS "libmosquitto not used: the program is built without the fleet link")
    add_library(quillon_fleet STATIC ${FLEET_DIR}/fleet_config.cpp ${FLEET_DIR}/nofleet/fleet.cpp)
    target_link_libraries(quillon_fleet PUBLIC quillon_web quillon_core)
    return()
endif()
add_library(quillon_fleet STATIC ${FLEET_DIR}/fleet_config.cpp ${FLEET_DIR}/fleet_messages.cpp ${FLEET_DIR}/fleet.cpp
            ${FLEET_DIR}/fleet_name.cpp ${FLEET_DIR}/fleet_network.cpp ${FLEET_DIR}/fleet_operators.cpp
            ${FLEET_DIR}/fleet_takeover.cpp)
target_link_libraries(quillon_fleet PUBLIC quillon_web quillon_core PRIVATE PkgConfig::MOSQUITTO Boost::headers)
set_source_files_properties(${FLEET_DIR}/fleet.cpp PROPERTIES
    COMPILE_DEFINITIONS QUILLON_VERSION="${PROJECT_VERSION}")
