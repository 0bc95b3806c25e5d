#!/usr/bin/env python3
# validate_inventory.py SCHEMA DOCUMENT...: checks inventory, check and diff documents against the
# shipped schema, more strictly than a consumer would: every member must be declared, members must
# come in the declared order (counters in name order), and the text must be exactly the 2-space
# layout. Exit status 77 when python3-jsonschema is missing.
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
for definition in [strict, *strict["$defs"].values()]:
    if "properties" in definition:
        definition["additionalProperties"] = False
validator = jsonschema.Draft202012Validator(strict)


# The members of value, and of the items of its arrays that the schema declares by reference.
def order_faults(value, definition, where):
    declared = definition["properties"]
    if list(value) != [k for k in declared if k in value]:
        yield f"{where}: members out of the declared order: {list(value)}"
    if list(value.get("statistics", [])) != sorted(value.get("statistics", [])):
        yield f"{where}.statistics: counters out of name order"
    for name, member in declared.items():
        reference = member.get("items", {}).get("$ref", "")
        for i, item in enumerate(value.get(name, []) if reference else []):
            yield from order_faults(item, schema["$defs"][reference.split("/")[-1]],
                                    f"{where}.{name}[{i}]")


status = 0
for path in sys.argv[2:]:
    text = open(path, encoding="utf-8").read()
    document = json.loads(text)
    faults = [f"{e.json_path}: {e.message}" for e in validator.iter_errors(document)]
    faults += order_faults(document, schema, "$")
    if json.dumps(document, indent=2, ensure_ascii=False) + "\n" != text:
        faults.append("not in the 2-space layout ending with a line end")
    print("".join(f"{path}: {fault}\n" for fault in faults), end="")
    status = status or (1 if faults else 0)
sys.exit(status)
