"""Plugin descriptions handed to the recording engine when a profiler is registered.

Built in: the test boundaries that vesk's pytest plugin marks around every test. Descriptions
given in config["plugins"] follow them. The functions live in vesk.filters.plugin_data, which the
engine never records.
"""

from vesk.filters.plugin_data import BUILT_IN, TEST_FINISHED, TEST_STARTED, load_plugin_data

__all__ = ["BUILT_IN", "TEST_FINISHED", "TEST_STARTED", "load_plugin_data"]
