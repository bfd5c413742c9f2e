#!/usr/bin/python3
"""Checks MQTT discovery configs as Home Assistant's own MQTT code reads them.

Usage: ha_schemas.py CONFIGS.json, a JSON object of topic -> payload as retained.

The schemas are transcribed, with voluptuous, from home-assistant/core:
homeassistant/components/mqtt/schemas.py (c6ca7f5f, with `default_entity_id` as the
2025.10 release added it), config.py, binary_sensor.py, button.py, event.py, notify.py, sensor.py
(validate_sensor_state_and_device_class_config as of 2025), switch.py, and the device
discovery of discovery.py; the validators from helpers/config_validation.py. Each platform's
discovery schema removes keys it does not know without a word (vol.REMOVE_EXTRA), so a key
that would be dropped counts as a fault here: Home Assistant would never see it.
Exits 0 when every config passes, 1 naming each fault.
"""
import json
import re
import sys
from urllib.parse import urlparse

import voluptuous as vol

# --- helpers/config_validation.py ---------------------------------------------------------


def string(value):
    if value is None:
        raise vol.Invalid("string value is None")
    if isinstance(value, (list, dict)):
        raise vol.Invalid("value should be a string")
    return str(value)


def boolean(value):
    if isinstance(value, bool):
        return value
    if isinstance(value, str):
        lowered = value.lower().strip()
        if lowered in ("1", "true", "yes", "on", "enable"):
            return True
        if lowered in ("0", "false", "no", "off", "disable"):
            return False
    elif isinstance(value, int):
        return bool(value)
    raise vol.Invalid(f"invalid boolean value {value}")


def icon(value):
    value = string(value)
    if ":" in value:
        return value
    raise vol.Invalid('Icons should be specified in the form "prefix:name"')


def template(value):
    if value is None:
        raise vol.Invalid("template value is None")
    if isinstance(value, (list, dict)):
        raise vol.Invalid("template value should be a string")
    return str(value)


positive_int = vol.All(vol.Coerce(int), vol.Range(min=0))


def ensure_list(value):
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


def configuration_url(value):
    url = urlparse(string(value))
    if url.scheme not in ("http", "https", "homeassistant") or not url.netloc:
        raise vol.Invalid("invalid url")
    return value


def deprecated(key, replacement):
    def validator(config):
        if key in config:
            config = dict(config)
            config.setdefault(replacement, config.pop(key))
        return config

    return validator


ENTITY_CATEGORIES_SCHEMA = vol.In(["config", "diagnostic"])

# --- the platforms' enums ------------------------------------------------------------------

SENSOR_DEVICE_CLASSES = [
    "date", "enum", "timestamp", "absolute_humidity", "apparent_power", "aqi", "area",
    "atmospheric_pressure", "battery", "blood_glucose_concentration", "carbon_monoxide",
    "carbon_dioxide", "conductivity", "current", "data_rate", "data_size", "distance",
    "duration", "energy", "energy_distance", "energy_storage", "frequency", "gas", "humidity",
    "illuminance", "irradiance", "moisture", "monetary", "nitrogen_dioxide", "nitrogen_monoxide",
    "nitrous_oxide", "ozone", "ph", "pm1", "pm10", "pm25", "pm4", "power_factor", "power",
    "precipitation", "precipitation_intensity", "pressure", "reactive_energy", "reactive_power",
    "signal_strength", "sound_pressure", "speed", "sulphur_dioxide", "temperature",
    "volatile_organic_compounds", "volatile_organic_compounds_parts", "voltage", "volume",
    "volume_storage", "volume_flow_rate", "water", "weight", "wind_direction", "wind_speed",
]
BINARY_SENSOR_DEVICE_CLASSES = [
    "battery", "battery_charging", "carbon_monoxide", "cold", "connectivity", "door",
    "garage_door", "gas", "heat", "light", "lock", "moisture", "motion", "moving", "occupancy",
    "opening", "plug", "power", "presence", "problem", "running", "safety", "smoke", "sound",
    "tamper", "update", "vibration", "window",
]
BUTTON_DEVICE_CLASSES = ["identify", "restart", "update"]
SWITCH_DEVICE_CLASSES = ["outlet", "switch"]
EVENT_DEVICE_CLASSES = ["doorbell", "button", "motion"]
STATE_CLASSES = ["measurement", "measurement_angle", "total", "total_increasing"]
# sensor/const.py DEVICE_CLASS_UNITS, for the classes whose units are checked here.
DEVICE_CLASS_UNITS = {
    "data_size": {
        "bit", "kbit", "Mbit", "Gbit", "B", "kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB",
        "KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB",
    },
    "temperature": {"°C", "°F", "K"},
    "timestamp": {None},
    "date": {None},
}

# --- util.py -------------------------------------------------------------------------------


def valid_topic(value):
    value = string(value)
    raw = value.encode("utf-8")
    if not raw:
        raise vol.Invalid("MQTT topic name/filter must not be empty.")
    if len(raw) > 65535:
        raise vol.Invalid("MQTT topic name/filter must not be longer than 65535 encoded bytes.")
    if "\0" in value:
        raise vol.Invalid("MQTT topic name/filter must not contain null character.")
    if any(char <= "\u001f" or "\u007f" <= char <= "\u009f" for char in value):
        raise vol.Invalid("MQTT topic name/filter must not contain control characters.")
    return value


def valid_subscribe_topic(value):
    value = valid_topic(value)
    for i in (i for i, c in enumerate(value) if c == "+"):
        if (i > 0 and value[i - 1] != "/") or (i < len(value) - 1 and value[i + 1] != "/"):
            raise vol.Invalid("Single-level wildcard must occupy an entire level of the filter")
    index = value.find("#")
    if index != -1:
        if index != len(value) - 1:
            raise vol.Invalid("Multi-level wildcard must be the last character in the topic filter.")
        if len(value) > 1 and value[index - 1] != "/":
            raise vol.Invalid("Multi-level wildcard must be after a topic level separator.")
    return value


def valid_publish_topic(value):
    value = valid_topic(value)
    if "+" in value or "#" in value:
        raise vol.Invalid("Wildcards cannot be used in topic names")
    return value


valid_qos_schema = vol.All(vol.Coerce(int), vol.In([0, 1, 2]))

# --- schemas.py ----------------------------------------------------------------------------

MQTT_AVAILABILITY_SINGLE_SCHEMA = vol.Schema({
    vol.Exclusive("availability_topic", "availability"): valid_subscribe_topic,
    vol.Optional("availability_template"): template,
    vol.Optional("payload_available", default="online"): string,
    vol.Optional("payload_not_available", default="offline"): string,
})
MQTT_AVAILABILITY_LIST_SCHEMA = vol.Schema({
    vol.Optional("availability_mode", default="latest"): vol.All(
        string, vol.In(["all", "any", "latest"])),
    vol.Exclusive("availability", "availability"): vol.All(ensure_list, [{
        vol.Required("topic"): valid_subscribe_topic,
        vol.Optional("payload_available", default="online"): string,
        vol.Optional("payload_not_available", default="offline"): string,
        vol.Optional("value_template"): template,
    }]),
})
MQTT_AVAILABILITY_SCHEMA = MQTT_AVAILABILITY_SINGLE_SCHEMA.extend(
    MQTT_AVAILABILITY_LIST_SCHEMA.schema)


def validate_device_has_at_least_one_identifier(value):
    if value.get("identifiers") or value.get("connections"):
        return value
    raise vol.Invalid(
        "Device must have at least one identifying value in 'identifiers' and/or 'connections'")


MQTT_ENTITY_DEVICE_INFO_SCHEMA = vol.All(
    deprecated("via_hub", "via_device"),
    vol.Schema({
        vol.Optional("identifiers", default=list): vol.All(ensure_list, [string]),
        vol.Optional("connections", default=list): vol.All(
            ensure_list, [vol.All(vol.Length(2), [string])]),
        vol.Optional("manufacturer"): string,
        vol.Optional("model"): string,
        vol.Optional("model_id"): string,
        vol.Optional("name"): string,
        vol.Optional("hw_version"): string,
        vol.Optional("serial_number"): string,
        vol.Optional("sw_version"): string,
        vol.Optional("via_device"): string,
        vol.Optional("suggested_area"): string,
        vol.Optional("configuration_url"): configuration_url,
    }),
    validate_device_has_at_least_one_identifier,
)
MQTT_ORIGIN_INFO_SCHEMA = vol.Schema({
    vol.Required("name"): string,
    vol.Optional("sw_version"): string,
    vol.Optional("support_url"): configuration_url,
})
MQTT_ENTITY_COMMON_SCHEMA = MQTT_AVAILABILITY_SCHEMA.extend({
    vol.Optional("device"): MQTT_ENTITY_DEVICE_INFO_SCHEMA,
    vol.Optional("origin"): MQTT_ORIGIN_INFO_SCHEMA,
    vol.Optional("enabled_by_default", default=True): boolean,
    vol.Optional("entity_category"): ENTITY_CATEGORIES_SCHEMA,
    vol.Optional("entity_picture"): string,
    vol.Optional("icon"): icon,
    vol.Optional("json_attributes_topic"): valid_subscribe_topic,
    vol.Optional("json_attributes_template"): template,
    vol.Optional("default_entity_id"): string,
    vol.Optional("object_id"): string,
    vol.Optional("unique_id"): string,
})

# --- config.py -----------------------------------------------------------------------------

MQTT_BASE_SCHEMA = vol.Schema({
    vol.Optional("qos", default=0): valid_qos_schema,
    vol.Optional("encoding", default="utf-8"): string,
    vol.Optional("group"): vol.All(ensure_list, [string]),
})
MQTT_RO_SCHEMA = MQTT_BASE_SCHEMA.extend({
    vol.Required("state_topic"): valid_subscribe_topic,
    vol.Optional("value_template"): template,
})
MQTT_RW_SCHEMA = MQTT_BASE_SCHEMA.extend({
    vol.Required("command_topic"): valid_publish_topic,
    vol.Optional("optimistic", default=False): boolean,
    vol.Optional("retain", default=False): boolean,
    vol.Optional("state_topic"): valid_subscribe_topic,
})

# --- the platforms -------------------------------------------------------------------------


def discovery(schema):
    return schema.extend({}, extra=vol.REMOVE_EXTRA)


BINARY_SENSOR = discovery(MQTT_RO_SCHEMA.extend({
    vol.Optional("device_class"): vol.Any(vol.In(BINARY_SENSOR_DEVICE_CLASSES), None),
    vol.Optional("expire_after"): positive_int,
    vol.Optional("force_update", default=False): boolean,
    vol.Optional("name"): vol.Any(string, None),
    vol.Optional("off_delay"): positive_int,
    vol.Optional("payload_off", default="OFF"): string,
    vol.Optional("payload_on", default="ON"): string,
}).extend(MQTT_ENTITY_COMMON_SCHEMA.schema))

BUTTON = discovery(MQTT_BASE_SCHEMA.extend({
    vol.Optional("command_template"): template,
    vol.Required("command_topic"): valid_publish_topic,
    vol.Optional("device_class"): vol.Any(vol.In(BUTTON_DEVICE_CLASSES), None),
    vol.Optional("name"): vol.Any(string, None),
    vol.Optional("payload_press", default="PRESS"): string,
    vol.Optional("retain", default=False): boolean,
}).extend(MQTT_ENTITY_COMMON_SCHEMA.schema))

EVENT = discovery(MQTT_RO_SCHEMA.extend({
    vol.Optional("device_class"): vol.All(vol.Lower, vol.In(EVENT_DEVICE_CLASSES)),
    vol.Optional("name"): vol.Any(None, string),
    vol.Required("event_types"): vol.All(ensure_list, [string]),
}).extend(MQTT_ENTITY_COMMON_SCHEMA.schema))

NOTIFY = discovery(MQTT_BASE_SCHEMA.extend({
    vol.Optional("command_template"): template,
    vol.Required("command_topic"): valid_publish_topic,
    vol.Optional("name"): vol.Any(string, None),
    vol.Optional("retain", default=False): boolean,
}).extend(MQTT_ENTITY_COMMON_SCHEMA.schema))

SWITCH = discovery(MQTT_RW_SCHEMA.extend({
    vol.Optional("name"): vol.Any(string, None),
    vol.Optional("payload_off", default="OFF"): string,
    vol.Optional("payload_on", default="ON"): string,
    vol.Optional("state_off"): string,
    vol.Optional("state_on"): string,
    vol.Optional("value_template"): template,
    vol.Optional("device_class"): vol.Any(vol.In(SWITCH_DEVICE_CLASSES), None),
}).extend(MQTT_ENTITY_COMMON_SCHEMA.schema))


def validate_sensor_state_and_device_class_config(config):
    if "last_reset_value_template" in config and config.get("state_class") != "total":
        raise vol.Invalid("last_reset_value_template needs state class total")
    unit = config.get("unit_of_measurement")
    if unit is not None and not unit.strip():
        config.pop("unit_of_measurement")
    if (options := config.get("options")) is not None:
        if not options:
            raise vol.Invalid("An empty options list is not allowed")
        if config.get("state_class") or config.get("unit_of_measurement"):
            raise vol.Invalid("options with a state class or unit")
        if config.get("device_class") != "enum":
            raise vol.Invalid("options need device class enum")
    if config.get("state_class") == "measurement_angle" and config.get(
            "unit_of_measurement") != "°":
        raise vol.Invalid("measurement_angle needs degrees")
    device_class = config.get("device_class")
    unit = config.get("unit_of_measurement")
    if device_class in DEVICE_CLASS_UNITS and unit not in DEVICE_CLASS_UNITS[device_class]:
        raise vol.Invalid(f"The unit of measurement `{unit}` is not valid together with "
                          f"device class `{device_class}`")
    return config


SENSOR = vol.All(
    discovery(MQTT_RO_SCHEMA.extend({
        vol.Optional("device_class"): vol.Any(vol.In(SENSOR_DEVICE_CLASSES), None),
        vol.Optional("expire_after"): positive_int,
        vol.Optional("force_update", default=False): boolean,
        vol.Optional("last_reset_value_template"): template,
        vol.Optional("name"): vol.Any(string, None),
        vol.Optional("options"): ensure_list,
        vol.Optional("suggested_display_precision"): positive_int,
        vol.Optional("state_class"): vol.Any(vol.In(STATE_CLASSES), None),
        vol.Optional("unit_of_measurement"): vol.Any(string, None),
    }).extend(MQTT_ENTITY_COMMON_SCHEMA.schema)),
    validate_sensor_state_and_device_class_config,
)

PLATFORMS = {"binary_sensor": BINARY_SENSOR, "button": BUTTON, "event": EVENT,
             "notify": NOTIFY, "sensor": SENSOR, "switch": SWITCH}

# --- discovery.py: a device config, and each component as its platform gets it ---------------

COMPONENT_CONFIG_SCHEMA = vol.Schema({vol.Required("platform"): vol.In(PLATFORMS)},
                                     extra=vol.ALLOW_EXTRA)
DEVICE_DISCOVERY_SCHEMA = MQTT_AVAILABILITY_SCHEMA.extend({
    vol.Required("device"): MQTT_ENTITY_DEVICE_INFO_SCHEMA,
    vol.Required("components"): vol.Schema({str: COMPONENT_CONFIG_SCHEMA}),
    vol.Required("origin"): MQTT_ORIGIN_INFO_SCHEMA,
    vol.Optional("state_topic"): valid_subscribe_topic,
    vol.Optional("command_topic"): valid_publish_topic,
    vol.Optional("qos"): valid_qos_schema,
    vol.Optional("encoding"): string,
})
SHARED_OPTIONS = ["availability", "availability_mode", "availability_template",
                  "availability_topic", "command_topic", "payload_available",
                  "payload_not_available", "state_topic"]


def check_device_config(topic, payload):
    faults = []
    try:
        config = json.loads(payload)
        DEVICE_DISCOVERY_SCHEMA(config)
    except (ValueError, vol.Invalid) as error:
        return [f"{topic}: {error}"]
    unique_ids = set()
    for name, component in config["components"].items():
        component = dict(component)
        platform = component.pop("platform")
        # As discovery.py hands each component over: the device's shared options beneath it.
        for option in SHARED_OPTIONS:
            if option in config and option not in component:
                component[option] = config[option]
        component["device"] = config["device"]
        component["origin"] = config["origin"]
        try:
            validated = PLATFORMS[platform](dict(component))
        except vol.Invalid as error:
            faults.append(f"{topic} {name} ({platform}): {error}")
            continue
        dropped = sorted(set(component) - set(validated))
        if dropped:
            faults.append(f"{topic} {name} ({platform}): Home Assistant drops {dropped}")
        unique_id = component.get("unique_id")
        if not unique_id or unique_id in unique_ids:
            faults.append(f"{topic} {name}: unique_id missing or repeated")
        unique_ids.add(unique_id)
        entity_id = component.get("default_entity_id", "")
        if not re.fullmatch(re.escape(platform) + r"\.[a-z0-9_]+", entity_id):
            faults.append(f"{topic} {name}: default_entity_id {entity_id!r} is no {platform} id")
    return faults


def main():
    with open(sys.argv[1]) as file:
        configs = json.load(file)
    faults = []
    checked = 0
    for topic, payload in configs.items():
        if topic.startswith("homeassistant/device/") and topic.endswith("/config"):
            faults += check_device_config(topic, payload)
            checked += 1
    for fault in faults:
        print(fault)
    if checked == 0:
        print("no device config to check")
        return 1
    print(f"{checked} device configs checked, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
