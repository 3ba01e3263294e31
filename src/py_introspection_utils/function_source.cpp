// Dependency specifications, the self-only check and the source scan. See
// function_source.hpp.
#include "py_introspection_utils/function_source.hpp"

#include "arguments.hpp"
#include "py_introspection_utils/host_services.hpp"

#include <string_view>
#include <unordered_set>

namespace quarrine {

std::vector<DependencySpec> parse_dependencies(PyObject* dependencies) {
  if (!PyList_Check(dependencies)) {
    raise_wrong_type(dependencies, "list");
  }
  std::vector<DependencySpec> specs;
  // The list is read by index each time: an element's conversion cannot run
  // user code, but the list's length is read anew to stay in bounds.
  for (Py_ssize_t i = 0; i < PyList_Size(dependencies); ++i) {
    Ref element = Ref::borrow(PyList_GetItem(dependencies, i));
    PyObject* item = element.get();
    if (PyTuple_Check(item) && PyTuple_Size(item) == 2) {
      std::string_view name = text_of(PyTuple_GetItem(item, 0));
      PyObject* keywords = PyTuple_GetItem(item, 1);
      if (!PyDict_Check(keywords)) {
        raise_wrong_type(keywords, "dict");
      }
      specs.push_back({std::string(name), Ref::borrow(keywords)});
    } else if (PyUnicode_Check(item)) {
      std::string name(text_of(item));
      specs.push_back({std::move(name), Ref::checked(PyDict_New())});
    } else {
      raise_error(PyExc_ValueError, "Dependency must be a tuple (str, dict) or a str");
    }
  }
  return specs;
}

void validate_self_only_method(PyObject* function) {
  Ref signature =
      Ref::checked(PyObject_CallFunctionObjArgs(inspect_signature(), function, nullptr));
  Ref parameters = Ref::checked(PyObject_GetAttr(signature.get(), interned("parameters")));
  // The parameters' names, in order: the keys of the mapping.
  Ref names = Ref::checked(PySequence_List(parameters.get()));
  Py_ssize_t count = require(PyList_Size(names.get()));
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < count; ++i) {
    texts.emplace_back(text_of(PyList_GetItem(names.get(), i)));
  }
  if (texts.size() == 1 && texts[0] == "self") {
    return;
  }
  std::string message = "Serialisable method must have exactly one parameter named 'self', got: [";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) {
      message += ", ";
    }
    message += '"';
    message += texts[i];
    message += '"';
  }
  message += ']';
  raise_error(PyExc_ValueError, message.c_str());
}

namespace {

// The node classes and helpers of the ast module, read once per inspection.
struct AstServices {
  Ref iter_child_nodes;
  Ref call;
  Ref attribute;
  Ref name;
};

bool is_instance(PyObject* object, PyObject* type) {
  return require(PyObject_IsInstance(object, type)) == 1;
}

Py_ssize_t length_of(PyObject* object) { return require(PyObject_Size(object)); }

// Collects `node` if it is a call self.<name>() without arguments.
void examine_node(PyObject* node, const AstServices& ast, std::vector<DependencySpec>& found,
                  std::unordered_set<std::string>& seen) {
  if (!is_instance(node, ast.call.get())) {
    return;
  }
  Ref args = Ref::checked(PyObject_GetAttrString(node, "args"));
  Ref keywords = Ref::checked(PyObject_GetAttrString(node, "keywords"));
  if (length_of(args.get()) != 0 || length_of(keywords.get()) != 0) {
    return;
  }
  Ref function = Ref::checked(PyObject_GetAttrString(node, "func"));
  if (!is_instance(function.get(), ast.attribute.get())) {
    return;
  }
  Ref target = Ref::checked(PyObject_GetAttrString(function.get(), "value"));
  if (!is_instance(target.get(), ast.name.get())) {
    return;
  }
  Ref identifier = Ref::checked(PyObject_GetAttrString(target.get(), "id"));
  if (text_of(identifier.get()) != "self") {
    return;
  }
  Ref attribute = Ref::checked(PyObject_GetAttrString(function.get(), "attr"));
  std::string method_name(text_of(attribute.get()));
  if (seen.insert(method_name).second) {
    found.push_back({std::move(method_name), Ref::checked(PyDict_New())});
  }
}

Ref child_iterator(PyObject* node, const AstServices& ast) {
  Ref children =
      Ref::checked(PyObject_CallFunctionObjArgs(ast.iter_child_nodes.get(), node, nullptr));
  return Ref::checked(PyObject_GetIter(children.get()));
}

// Pre-order, depth-first walk of `root` and everything below it. The walk
// keeps its own stack of child iterators, so trees as deep as the parser
// accepts use no native recursion.
void visit(PyObject* root, const AstServices& ast, std::vector<DependencySpec>& found,
           std::unordered_set<std::string>& seen) {
  examine_node(root, ast, found, seen);
  std::vector<Ref> pending;
  pending.push_back(child_iterator(root, ast));
  while (!pending.empty()) {
    Ref child = Ref::steal(PyIter_Next(pending.back().get()));
    if (!child) {
      if (PyErr_Occurred() != nullptr) {
        throw_python_error();
      }
      pending.pop_back();
      continue;
    }
    examine_node(child.get(), ast, found, seen);
    pending.push_back(child_iterator(child.get(), ast));
  }
}

}  // namespace

namespace {

// The function's source, dedented and stripped, as a new exact str.
Ref read_source(PyObject* function) {
  Ref inspect = Ref::checked(PyImport_ImportModule("inspect"));
  Ref getsource = Ref::checked(PyObject_GetAttrString(inspect.get(), "getsource"));
  Ref source = Ref::checked(PyObject_CallFunctionObjArgs(getsource.get(), function, nullptr));
  Ref source_text = str_of(text_of(source.get()));
  Ref textwrap = Ref::checked(PyImport_ImportModule("textwrap"));
  Ref dedent = Ref::checked(PyObject_GetAttrString(textwrap.get(), "dedent"));
  Ref dedented =
      Ref::checked(PyObject_CallFunctionObjArgs(dedent.get(), source_text.get(), nullptr));
  Ref stripped = Ref::checked(PyObject_CallMethod(dedented.get(), "strip", nullptr));
  return str_of(text_of(stripped.get()));
}

// The module tree of the source; a syntax error becomes "failed to parse
// source: ...".
Ref parse_source(PyObject* ast_module, PyObject* source) {
  Ref parse = Ref::checked(PyObject_GetAttrString(ast_module, "parse"));
  Ref tree = Ref::steal(PyObject_CallFunctionObjArgs(parse.get(), source, nullptr));
  if (!tree) {
    raise_wrapping_pending(PyExc_ValueError, "failed to parse source: ");
  }
  return tree;
}

bool is_function_definition(PyObject* statement, PyObject* ast_module) {
  for (const char* kind : {"FunctionDef", "AsyncFunctionDef"}) {
    Ref type = Ref::checked(PyObject_GetAttrString(ast_module, kind));
    if (is_instance(statement, type.get())) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<DependencySpec> ast_inspect_method_dependencies(PyObject* function) {
  Ref source = read_source(function);
  Ref ast_module = Ref::checked(PyImport_ImportModule("ast"));
  Ref tree = parse_source(ast_module.get(), source.get());
  AstServices ast{
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "iter_child_nodes")),
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "Call")),
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "Attribute")),
      Ref::checked(PyObject_GetAttrString(ast_module.get(), "Name")),
  };
  std::vector<DependencySpec> found;
  std::unordered_set<std::string> seen;
  // The body of each function definition at the top of the source.
  Ref module_body = Ref::checked(PyObject_GetAttrString(tree.get(), "body"));
  Ref statements = Ref::checked(PyObject_GetIter(module_body.get()));
  while (Ref statement = Ref::steal(PyIter_Next(statements.get()))) {
    if (!is_function_definition(statement.get(), ast_module.get())) {
      continue;
    }
    Ref body = Ref::checked(PyObject_GetAttrString(statement.get(), "body"));
    Ref body_statements = Ref::checked(PyObject_GetIter(body.get()));
    while (Ref inner = Ref::steal(PyIter_Next(body_statements.get()))) {
      visit(inner.get(), ast, found, seen);
    }
    if (PyErr_Occurred() != nullptr) {
      throw_python_error();
    }
  }
  if (PyErr_Occurred() != nullptr) {
    throw_python_error();
  }
  return found;
}

}  // namespace quarrine
