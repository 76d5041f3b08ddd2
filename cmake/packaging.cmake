# Debian packages, one per install component, from the same install rules as
# `cmake --install`: `cpack --preset package` after building the package
# preset (prefix /usr, the Python package where Debian's python3 looks).
if(NOT QARVEL_TOP_LEVEL)
  return()
endif()

set(QARVEL_MAINTAINER "qarvel maintainers <qarvel@example.org>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qarvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR qarvel)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev)
if(QARVEL_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
if(TARGET _qarvel)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QARVEL_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# dpkg-shlibdeps names the libraries each binary needs, with their versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libqarvel)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIB_DESCRIPTION "JPEG decoding, encoding and resizing library
libqarvel.so decodes JPEG into packed RGB or BGR pixels, encodes pixels into
JPEG, does both from and to files, resamples 3-channel images and resizes a
JPEG file into a new one in one call. JPEG work goes through libjpeg-turbo.")
# ldconfig runs once at the end of the dpkg run that installs or removes it.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/lib/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libqarvel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# qarvel.pc requires libturbojpeg.pc.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libqarvel (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}), libturbojpeg0-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "JPEG decoding, encoding and resizing library (development files)
The header qarvel/qarvel.h, a CMake package (find_package(qarvel) gives
qarvel::qarvel) and a pkg-config file (pkg-config --cflags --libs qarvel)
for building against libqarvel.so.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME qarvel)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "JPEG photo thumbnailer
qarvel resize makes JPEG thumbnails of JPEG photos, one file or whole folder
trees at a time on every core: upright by their EXIF orientation, with their
colour profile, replaced safely. See man qarvel.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qarvel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
if(TARGET _qarvel)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
  # The module is built for this one interpreter version.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), \
python3 (<< ${Python3_VERSION_MAJOR}.${next_minor}), python3-numpy")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-distributed)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/python/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/python/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "JPEG decoding, encoding, resizing and thumbnails for Python
The qarvel package gives Python numpy arrays in and out of libjpeg-turbo and
the qarvel resampler, without Python's global interpreter lock, and
qarvel.dask runs the thumbnailer on a Dask cluster.")

include(CPack)
