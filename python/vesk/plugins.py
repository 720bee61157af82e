"""Plugin descriptions handed to the recording engine when a profiler is registered.

Built in: the test boundaries that vesk's pytest plugin marks around every test, and the framework
events (outbound HTTP, SQL, log records, web requests; vesk.filters.events). Descriptions given
in config["plugins"] follow them. The functions live in vesk.filters, which the engine never
records.
"""

from vesk.filters.events import TYPES as EVENT_TYPES
from vesk.filters.plugin_data import (BUILT_IN, TEST_BOUNDARIES, TEST_FINISHED, TEST_STARTED,
                                      load_plugin_data)

__all__ = ["BUILT_IN", "EVENT_TYPES", "TEST_BOUNDARIES", "TEST_FINISHED", "TEST_STARTED",
           "load_plugin_data"]
