# Sourced by test scripts. qm_private_bus DIR writes DIR/bus.conf for
# dbus-run-session --config-file: a session bus that listens in DIR and
# starts only the services whose .service files are in DIR/services (none
# until a script puts one there), so nothing a test asks for can reach a
# prompter or any other program of the desktop's. A second argument names a
# bus name no one may own there, as a sandbox's filtered bus forbids it.
qm_private_bus() {
  local deny=${2:+<deny own=\"$2\"/>}
  mkdir -p "$1/services"
  cat >"$1/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$1</listen>
  <servicedir>$1/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
    $deny
  </policy>
</busconfig>
CONF
}
