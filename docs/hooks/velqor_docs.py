"""MkDocs hook: pages take sections of the README and the API reference from
the type stub, so neither is written twice.

    <!-- readme: Errors -->            the body of the README section "## Errors"
    <!-- readme?: Stability -->        the same, or nothing if the README has no such section
    <!-- api -->                       the API reference rendered from stubs/velqor.pyi
"""

import ast
import pathlib
import re

from mkdocs.exceptions import PluginError

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
STUB = ROOT / "stubs" / "velqor.pyi"
INCLUDE = re.compile(r"^<!-- readme(\??): (.+?) -->$", re.M)


def readme_section(title, optional):
    text = README.read_text()
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    if match is None:
        if optional:
            return ""
        raise PluginError(f"README.md has no section '## {title}'")
    # Sections of the README are level 2; inside a page they sit one level lower.
    return re.sub(r"^(#+) ", r"#\1 ", match.group(1).strip(), flags=re.M) + "\n"


def private_name(node):
    name = node.name if isinstance(node, ast.ClassDef) else node.targets[0].id
    return name.startswith("_") and not name.startswith("__")


def signature(function, owner):
    args = function.args.args[1:]  # self or cls
    params = ", ".join(f"{a.arg}: {ast.unparse(a.annotation)}" for a in args)
    returns = ast.unparse(function.returns)
    if function.name == "__new__":
        return f"{owner}({params})"
    return f"{owner}.{function.name}({params}) -> {returns}"


def api_reference():
    source = STUB.read_text()
    tree = ast.parse(source)
    out = [ast.get_docstring(tree), ""]
    private = [node for node in tree.body
               if isinstance(node, (ast.Assign, ast.ClassDef)) and private_name(node)]
    if not private:
        raise PluginError("stubs/velqor.pyi: no argument types found")
    out += ["## Argument types", "",
            "The stub names what each parameter accepts with these private types "
            "(they exist for type checkers only, not in the module):", "",
            "```python", "\n".join(ast.get_source_segment(source, node) for node in private), "```", ""]
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        methods = [item for item in node.body if isinstance(item, ast.FunctionDef)]
        constructor = next(m for m in methods if m.name == "__new__")
        out += [f"## {node.name}", "", "```python", "@final", signature(constructor, node.name), "```", "",
                ast.get_docstring(node), ""]
        for method in methods:
            if method.name == "__new__":
                continue
            out += [f"### {node.name}.{method.name}", "", "```python", signature(method, node.name), "```", "",
                    ast.get_docstring(method) or "", ""]
    return "\n".join(out)


def on_page_markdown(markdown, page, config, files):
    markdown = INCLUDE.sub(lambda m: readme_section(m.group(2), m.group(1) == "?"), markdown)
    if "<!-- api -->" in markdown:
        markdown = markdown.replace("<!-- api -->", api_reference())
    return markdown
