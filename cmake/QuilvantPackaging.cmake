# Debian packages made by CPack: `quilvant` (the desktop program) and `quilvant-service` (the hosted service).
# Library dependencies come from the binaries (dpkg-shlibdeps); what the program loads at run time without
# linking it (Qt's platform plugins, Tesseract's language data, the capture tools) is named here.

set(QUILVANT_MAINTAINER "Quilvant developers <developers@quilvant.app>" CACHE STRING "Maintainer of the packages")
set(doc_files ${PROJECT_SOURCE_DIR}/data/debian/copyright)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/data/changelog.gz)
string(TIMESTAMP changelog_stamp "%a, %d %b %Y 00:00:00 +0000" UTC)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/data/changelog
     "quilvant (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${QUILVANT_MAINTAINER}  ${changelog_stamp}\n")
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/data/changelog
    COMMENT "Compressing the Debian changelog")
add_custom_target(quilvant_changelog ALL DEPENDS ${changelog})
foreach(component client service)
    if(component STREQUAL "client")
        set(package quilvant)
    else()
        set(package quilvant-service)
    endif()
    install(FILES ${doc_files} ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME quilvant)
set(CPACK_PACKAGE_VENDOR "Quilvant developers")
set(CPACK_PACKAGE_CONTACT "${QUILVANT_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client service)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quilvant)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "screen translator for Linux desktops
Press a global shortcut (Alt+D unless changed), drag a rectangle anywhere on
the screen, and the text inside it is recognised on this machine and
translated into a small always-on-top card that streams the result.
Screenshots never leave the machine; only the recognised text is sent to the
translation engine chosen in the settings.")
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS
    "qt6-qpa-plugins, libqt6sql6-sqlite, tesseract-ocr-eng, maim | grim | xdg-desktop-portal")
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS
    "tesseract-ocr-fra, tesseract-ocr-jpn, tesseract-ocr-kor, tesseract-ocr-chi-sim, tesseract-ocr-chi-tra, tesseract-ocr-jpn-vert, tesseract-ocr-chi-sim-vert, tesseract-ocr-chi-tra-vert, gnome-keyring | kwalletmanager, slurp, qt6-wayland, wl-clipboard")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME quilvant-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION "self-hostable translation service for Quilvant
quilvant-service serves Quilvant's hosted translation contract: streamed
translations through an upstream chat-completions provider, moderation,
access tokens with a character allowance and per-token rate limits, on
SQLite for one person or PostgreSQL for several replicas.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/data/debian/service/postinst;${PROJECT_SOURCE_DIR}/data/debian/service/postrm;${PROJECT_SOURCE_DIR}/data/debian/service/conffiles")

include(CPack)
