import functools
import inspect

I8, I12 = " " * 8, " " * 12
RETURNS = "\n\n                             Returns:\n                                "
# Attribute under the module (texts with a slip of their own, and one of each kind), its docstring: whole, after
# docstring cleaning, or after a function's signature.
DOCS = [
    ("evaluate_bitwidth", "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n   Args:\n"
                          "       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is "
                          "evaluated.\n   "),
    ("Model", f"{I8}The ``Model`` output is an int8 our uint8 numpy array if activations\n{I8}are enabled for the "
              f"last layer, otherwise it is an int32 numpy array.\n\n{I8}Args:\n{I12}filename (str, optional): "),
    ("ProgramParts", "\n      Represents a program splitted in different parts.\n\n      program_info is the program "
                     "part containing information on how to program the\n      device.\n      program_data is the "
                     "program part containing the program data required by nuvra\n      to configure the IP.\n"),
    ("MapConstraints.cnp_max_width_default", "The maximal width to map a CNP." + RETURNS + "int: the maximal witdh"),
    ("NP.Component", "An Nuvra component"),
    ("boardVlq7300", "Spi flash controller for the vlq7300meant for testing, debugging and validation only."),
]


def test_docstrings(core):
    for path, text in DOCS:
        doc = functools.reduce(getattr, path.split("."), core).__doc__
        signed = doc.startswith(path.split(".")[-1] + "(")  # a function: its signature comes first
        assert text in (doc, inspect.cleandoc(doc)) or (signed or path == "Model") and text in doc, path
