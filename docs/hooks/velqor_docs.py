"""MkDocs hook: pages take sections of the README and the API reference from
the type stub, so neither is written twice.

    <!-- readme: Errors -->            the body of the README section "## Errors"
    <!-- api -->                       the API reference rendered from stubs/velqor.pyi
"""

import ast
import copy
import pathlib
import re

from mkdocs.exceptions import PluginError

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
STUB = ROOT / "stubs" / "velqor.pyi"
INCLUDE = re.compile(r"^<!-- readme: (.+?) -->$", re.M)


def readme_section(title):
    text = README.read_text()
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    if match is None:
        raise PluginError(f"README.md has no section '## {title}'")
    # Sections of the README are level 2; inside a page they sit one level lower.
    body = re.sub(r"^(#+) ", r"#\1 ", match.group(1).strip(), flags=re.M)
    # The README links to the guide's pages as docs/PAGE.md; the pages sit beside each other.
    return body.replace("](docs/", "](") + "\n"


def private_name(node):
    name = node.name if isinstance(node, ast.ClassDef) else node.targets[0].id
    return name.startswith("_") and not name.startswith("__")


class PublicTypes(ast.NodeTransformer):
    """Rewrites an annotation into the types a caller passes: each private alias
    of the stub replaced by its definition, each type-only protocol and type
    variable named without its underscore (as the Argument types section lists
    them)."""

    def __init__(self, aliases):
        self.aliases = aliases

    def visit_Name(self, node):
        if node.id in self.aliases:
            return self.visit(copy.deepcopy(self.aliases[node.id]))
        if node.id.startswith("_"):
            return ast.Name(id=public_name(node.id), ctx=node.ctx)
        return node


def public_name(name):
    """_SequenceLike -> SequenceLike, _T_co -> T."""
    return name.lstrip("_").removesuffix("_co")


SIGNATURE_WIDTH = 88  # longer signatures take one parameter per line, so the page needs no scrolling


def signature(function, owner, public):
    args = function.args.args[1:]  # self or cls
    params = [f"{a.arg}: {ast.unparse(public.visit(copy.deepcopy(a.annotation)))}" for a in args]
    name = owner if function.name == "__new__" else f"{owner}.{function.name}"
    returns = "" if function.name == "__new__" else f" -> {ast.unparse(function.returns)}"
    text = f"{name}({', '.join(params)}){returns}"
    if len(text) <= SIGNATURE_WIDTH:
        return text
    return f"{name}(\n" + "".join(f"    {p},\n" for p in params) + f"){returns}"


PRIVATE_NAME = re.compile(r"\b_(?!_)\w+")


def protocol_source(source, node):
    """The protocol's definition as a caller reads it: public names, no docstring."""
    lines = ast.get_source_segment(source, node, padded=True).splitlines()
    docstring = node.body[0]
    drop = range(docstring.lineno - node.lineno, docstring.end_lineno - node.lineno + 2)  # and the blank line after
    kept = "\n".join(line for i, line in enumerate(lines) if i not in drop and not line.startswith("@type_check_only"))
    return PRIVATE_NAME.sub(lambda m: public_name(m.group(0)), kept)


def api_reference():
    source = STUB.read_text()
    tree = ast.parse(source)
    out = [ast.get_docstring(tree), ""]
    aliases = {node.targets[0].id: node.value for node in tree.body
               if isinstance(node, ast.Assign) and private_name(node) and not is_type_variable(node)}
    protocols = [node for node in tree.body if isinstance(node, ast.ClassDef) and private_name(node)]
    if not aliases or not protocols:
        raise PluginError("stubs/velqor.pyi: no argument types found")
    public = PublicTypes(aliases)
    out += ["## Argument types", "",
            "Parameters are shown with the types a call may pass. These are structural "
            "types that the stub defines for type checkers (they are not attributes of "
            "the module); any object with their members is accepted:", ""]
    for node in protocols:
        generic = "[T]" if "Protocol[" in ast.unparse(node.bases[0]) else ""
        out += [f"- `{public_name(node.name)}{generic}`: {' '.join(ast.get_docstring(node).split())}"]
    out += ["", "```python", "\n\n".join(protocol_source(source, node) for node in protocols), "```", "",
            "`complex` also admits `float` and `int`; `SupportsIndex` is anything with "
            "`__index__` (`int`, `bool`, NumPy integers).", ""]
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        methods = [item for item in node.body if isinstance(item, ast.FunctionDef)]
        constructor = next(m for m in methods if m.name == "__new__")
        out += [f"## {node.name}", "", "```python", "@final", signature(constructor, node.name, public), "```", "",
                ast.get_docstring(node), ""]
        for method in methods:
            if method.name == "__new__":
                continue
            out += [f"### {node.name}.{method.name}", "", "```python", signature(method, node.name, public), "```", "",
                    ast.get_docstring(method) or "", ""]
    return "\n".join(out)


def is_type_variable(node):
    return isinstance(node.value, ast.Call) and getattr(node.value.func, "id", "") == "TypeVar"


def on_page_markdown(markdown, page, config, files):
    markdown = INCLUDE.sub(lambda m: readme_section(m.group(1)), markdown)
    if "<!-- api -->" in markdown:
        markdown = markdown.replace("<!-- api -->", api_reference())
    return markdown
