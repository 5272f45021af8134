# The Remote Script side of the package: the version the installer and the
# clients read, and the control surface Live instantiates. Loaded inside
# Live, so it stays valid Python 3.7.

BRIDGE_VERSION = "0.18.0"

NOT_AVAILABLE = (
    "VantorelBridge %s: the Live Object Model backend is not part of this version, "
    "so the bridge does not serve Vantorel from inside Live yet. Nothing in the Live Set "
    "is read or changed. Use the simulated Live Set (python3 -m VantorelBridge) meanwhile."
    % BRIDGE_VERSION
)


class VantorelSurface(object):
    """The object Live drives through its control-surface calls. Until the
    Live Object Model backend exists it states that plainly in Live's log and
    status bar instead of pretending to serve requests."""

    def __init__(self, c_instance):
        self._c_instance = c_instance
        self._say(NOT_AVAILABLE)

    def _say(self, message):
        for name in ("log_message", "show_message"):
            method = getattr(self._c_instance, name, None)
            if callable(method):
                try:
                    method(message)
                except Exception:
                    pass

    # Live calls these on every control surface; none of them has work to do.
    def disconnect(self):
        self._c_instance = None

    def refresh_state(self):
        pass

    def build_midi_map(self, midi_map_handle):
        pass

    def update_display(self):
        pass

    def connect_script_instances(self, instanciated_scripts):
        pass

    def can_lock_to_devices(self):
        return False

    def suggest_input_port(self):
        return ""

    def suggest_output_port(self):
        return ""

    def suggest_map_mode(self, cc_no, channel):
        return -1

    def receive_midi(self, midi_bytes):
        pass

    def port_settings_changed(self):
        pass
