"""Plugin descriptions handed to the recording engine when a profiler is registered."""


def load_plugin_data(config):
    """The plugin descriptions for a profiler with this configuration: those given in
    config["plugins"], in order."""
    return list(config.get("plugins", ()))
