# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE). Each Debian package's description
# starts with its own synopsis (CPACK_DEBIAN_<PART>_DESCRIPTION): without this, cpack would put the
# project's summary before every one of them.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
