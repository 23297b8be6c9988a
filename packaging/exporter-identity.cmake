# Who qip-exporter.service runs as when the package (prefix /usr) installs it: the package's
# own system account, which it creates (sysusers.d, or adduser where systemd-sysusers is
# missing) and removes on purge, so that programs sharing the discovery port can tell an owner
# running under this name from any other user. DynamicUser= implied RemoveIPC=; it is kept.
# Included by packaging/ and by the unit test in tests/exporter/.
set(QIPFINDER_EXPORTER_SYSTEM_IDENTITY "User=qip-exporter\nGroup=qip-exporter\nRemoveIPC=yes")
