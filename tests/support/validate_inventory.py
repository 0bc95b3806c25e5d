#!/usr/bin/env python3
"""Checks inventory, check and diff documents against the shipped schema, more strictly than a consumer
would: every member must be declared, members must come in the declared order, and the text must
be exactly the 2-space layout. Exit status 77 when python3-jsonschema is missing."""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed")
    sys.exit(77)

schema = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
strict = json.loads(json.dumps(schema))
strict["additionalProperties"] = False
for definition in strict["$defs"].values():
    if "properties" in definition:
        definition["additionalProperties"] = False
validator = jsonschema.Draft202012Validator(strict)


def order_faults(value, definition, where):
    declared = list(schema["$defs"][definition]["properties"])
    keys = list(value)
    if keys != sorted(keys, key=lambda k: declared.index(k) if k in declared else -1):
        yield f"{where}: members out of the declared order: {keys}"
    if "statistics" in value and list(value["statistics"]) != sorted(value["statistics"]):
        yield f"{where}.statistics: counters out of name order"
    for child, child_definition in (("targets", "target"), ("luns", "lun"), ("paths", "path"),
                                    ("virtual_ports", "virtual_port"),
                                    ("nvme_controllers", "nvme_controller"),
                                    ("namespaces", "namespace")):
        for i, item in enumerate(value.get(child, [])):
            yield from order_faults(item, child_definition, f"{where}.{child}[{i}]")


status = 0
for path in sys.argv[2:]:
    text = open(path, encoding="utf-8").read()
    document = json.loads(text)
    faults = [f"{e.json_path}: {e.message}" for e in validator.iter_errors(document)]
    declared = list(schema["properties"])
    if list(document) != [k for k in declared if k in document]:
        faults.append("top-level members out of order")
    for child, definition in (("findings", "finding"), ("accepted", "finding"),
                              ("differences", "difference")):
        for i, item in enumerate(document.get(child, [])):
            faults.extend(order_faults(item, definition, f"$.{child}[{i}]"))
    for i, controller in enumerate(document.get("controllers", [])):
        faults.extend(order_faults(controller, "controller", f"$.controllers[{i}]"))
    for i, map_ in enumerate(document.get("multipath", [])):
        faults.extend(order_faults(map_, "multipath_map", f"$.multipath[{i}]"))
    if json.dumps(document, indent=2, ensure_ascii=False) + "\n" != text:
        faults.append("not in the 2-space layout ending with a line end")
    for fault in faults:
        print(f"{path}: {fault}")
    status = status or (1 if faults else 0)
sys.exit(status)
