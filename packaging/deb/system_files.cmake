# Run by CPack before it builds the Debian package: adds the files that
# live outside the install prefix (/usr).  They are left out of
# `cmake --install`, which must never write to the running system's /etc.
set(src ${CPACK_VELK_SOURCE_DIR}/packaging/sshd)
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(r644 OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(r755 ${r644} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)

file(COPY ${src}/sshd_config DESTINATION ${root}/etc/velk
     FILE_PERMISSIONS ${r644})
file(MAKE_DIRECTORY ${root}/etc/velk/authorized_keys)
file(CHMOD ${root}/etc/velk ${root}/etc/velk/authorized_keys
     PERMISSIONS ${r755})
file(COPY ${src}/velk.conf DESTINATION ${root}/etc/ssh/sshd_config.d
     FILE_PERMISSIONS ${r644})
file(COPY ${src}/velk-sshd.service DESTINATION ${root}/lib/systemd/system
     FILE_PERMISSIONS ${r644})
