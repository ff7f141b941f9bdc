"""The stubs an editor reads (__init__.pyi) name exactly what the module has."""
import ast
import enum
import pathlib

import tessaro_dexhand

STUBS = pathlib.Path(tessaro_dexhand.__file__).with_name("__init__.pyi")
# Members every class of its sort has; the stubs leave them out.
INHERITED = set(dir(object)) | {"__dict__", "__module__", "__weakref__", "__members__"}


def public(name):
    return not name.startswith("_") or name in {"__enter__", "__exit__", "__iter__", "__len__"}


def defined(node):
    """The names a statement of the stubs defines."""
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
        return [node.name]
    if isinstance(node, ast.AnnAssign):
        return [node.target.id]
    return [target.id for target in node.targets] if isinstance(node, ast.Assign) else []


def stub_names():
    names = {}
    for node in ast.parse(STUBS.read_text()).body:
        members = None
        if isinstance(node, ast.ClassDef):
            members = {m for item in node.body for m in defined(item) if public(m) and m != "__init__"}
        names.update(dict.fromkeys(defined(node), members))
    return {name: members for name, members in names.items() if public(name)}


def module_names():
    names = {}
    for name in tessaro_dexhand.__all__:
        value = getattr(tessaro_dexhand, name)
        if isinstance(value, type) and issubclass(value, enum.Enum):
            names[name] = set(value.__members__)
        elif isinstance(value, type) and issubclass(value, BaseException):
            # Set on each instance; the subclasses inherit them.
            names[name] = {"status", "address"} if value is tessaro_dexhand.DexHandError else set()
        elif isinstance(value, type):
            names[name] = {m for m in dir(value) if public(m) and m not in INHERITED}
        else:
            names[name] = None
    return names


def test_stubs_name_every_public_name_and_member_of_the_module():
    assert stub_names() == module_names()


def test_everything_public_has_a_docstring():
    missing = []
    for name in tessaro_dexhand.__all__:
        value = getattr(tessaro_dexhand, name)
        if callable(value) and not value.__doc__:
            missing.append(name)
        if isinstance(value, type) and not issubclass(value, enum.Enum):
            missing += [f"{name}.{m}" for m in vars(value) if public(m) and not getattr(value, m).__doc__]
    assert missing == []
