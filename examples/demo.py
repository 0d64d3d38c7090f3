"""A first look at the bridge: import it and call a few core functions."""
from zq.csdk import c_sdk

print("core library version:", c_sdk.zqi_get_c_version().decode())
print("zqi_init() ->", c_sdk.zqi_init())
print("zqi_now() ->", c_sdk.zqi_now())
print("zqi_strerror(3) ->", c_sdk.zqi_strerror(3).decode())
print("place order ->", c_sdk.py_zqi_place_order("demo-order"))
