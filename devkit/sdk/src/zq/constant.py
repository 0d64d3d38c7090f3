"""Constants of the SDK's Python layer used by the native bridge."""

# Status every core function returns on success.
CSDK_OPERATE_SUCCESS = 0
