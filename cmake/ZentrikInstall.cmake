# Where `cmake --install` puts the module, its p11-kit module file and the
# card tool. Debian keeps PKCS#11 modules in /usr/lib/<multiarch>/pkcs11 and
# p11-kit reads module files from /usr/share/p11-kit/modules, so on Linux the
# prefix defaults to /usr (GNUInstallDirs then picks the multiarch libdir).
# An explicit CMAKE_INSTALL_PREFIX moves all three together.
if(NOT WIN32 AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

set(ZENTRIK_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkcs11)
set(ZENTRIK_MODULE_INSTALL_PATH ${CMAKE_INSTALL_FULL_LIBDIR}/pkcs11/libzentrik-pkcs11.so)
set(ZENTRIK_P11KIT_MODULE_DIR ${CMAKE_INSTALL_DATADIR}/p11-kit/modules)
