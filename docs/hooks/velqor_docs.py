"""MkDocs hook: the API reference comes from the type stub, so it is not written
twice, and no reference is left dangling.

    <!-- api -->     the API reference rendered from stubs/velqor.pyi

Pages take sections of the README with the snippets extension
(`--8<-- "README.md:errors"`). Those sections link through reference names
(`[Errors][errors]`) that the README and each including page define for
themselves, so the same text links right in both places. The build warns
(and so fails, being strict) on a reference name that a page leaves undefined,
and on a link of the README whose file or heading is not there.

Every table of a page is put in a box that scrolls sideways on a narrow
screen (css/velqor.css).
"""

import ast
import copy
import html
import logging
import pathlib
import re

from mkdocs.exceptions import PluginError

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "velqor.pyi"
log = logging.getLogger("mkdocs.hooks.velqor_docs")

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


# Text a reader sees as prose: code blocks, code spans and comments taken out.
CODE_HTML = re.compile(r"<pre\b.*?</pre>|<code\b.*?</code>|<!--.*?-->", re.S)
CODE_MARKDOWN = re.compile(r"^```.*?^```|(`+).+?\1|<!--.*?-->", re.S | re.M)
# A reference link that Markdown found no definition for stays as written.
UNRESOLVED = re.compile(r"\[([^\[\]\n]+)\]\[([^\[\]\n]*)\]")
INLINE_LINK = re.compile(r"\]\(([^()\s]+)\)")
DEFINITION = re.compile(r"^\[([^\]]+)\]:[ \t]*(\S+)", re.M)
HEADING = re.compile(r"^#+ (.+)$", re.M)


def slug(heading):
    """The anchor of a heading, as GitHub and MkDocs both make it."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return re.sub(r" +", "-", text)


def headings(path):
    return {slug(h) for h in HEADING.findall(CODE_MARKDOWN.sub("", path.read_text()))}


def link_problem(source, target):
    """Why the README's link TARGET does not resolve, or None when it does."""
    if re.match(r"[a-z]+:", target):
        return None  # a URL: not checked offline
    path, _, anchor = target.partition("#")
    file = (source.parent / path) if path else source
    if not file.exists():
        return f"no file {path}"
    if anchor and file.suffix == ".md" and anchor not in headings(file):
        return f"no heading #{anchor} in {file.name}"
    return None


def check_readme(readme):
    """Warns on every link of the README that leads nowhere (reference names
    without a definition, files or headings that are not there)."""
    text = CODE_MARKDOWN.sub("", readme.read_text())
    defined = {name.lower(): target for name, target in DEFINITION.findall(text)}
    for shown, name in UNRESOLVED.findall(text):
        if (name or shown).lower() not in defined:
            log.warning(f"README.md: the reference [{shown}][{name}] has no definition")
    for target in [*INLINE_LINK.findall(text), *defined.values()]:
        problem = link_problem(readme, target)
        if problem:
            log.warning(f"README.md: the link to '{target}' leads nowhere: {problem}")


def on_pre_build(config):
    check_readme(pathlib.Path(config["config_file_path"]).parent / "README.md")


def on_page_markdown(markdown, page, config, files):
    if "<!-- api -->" in markdown:
        markdown = markdown.replace("<!-- api -->", api_reference())
    return markdown


def on_page_content(content, page, config, files):
    for shown, name in UNRESOLVED.findall(CODE_HTML.sub("", content)):
        log.warning(f"Doc file '{page.file.src_uri}': the reference [{html.unescape(shown)}][{name}] "
                    "has no definition on the page")
    # Each table in a box of its own that scrolls sideways when the table is
    # wider than the page (css/velqor.css), rather than the whole page.
    return content.replace("<table>", '<div class="table-scroll"><table>').replace("</table>", "</table></div>")
