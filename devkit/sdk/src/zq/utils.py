"""Utilities of the SDK's Python layer used by the native bridge."""
import logging

# The SDK's logger; the bridge writes its debug lines here.
zqsdklogger = logging.getLogger("zq")
