import functools
import inspect

I8, I11, I12, I16 = " " * 8, " " * 11, " " * 12, " " * 16
RETURNS = "\n\n                             Returns:\n                                "
SRAM = " SRAM in bytes available inside the mesh for each two NPs."
BY_NP = " processed by the Neural Processor"
MEMORY = "memory required (in bytes) for "
# Attribute under the module, its docstring: whole, after docstring cleaning, or after a function's signature.
DOCS = [
    ("evaluate_bitwidth", "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n   Args:\n"
                          "       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is "
                          "evaluated.\n   "),
    ("Model", f"{I8}The ``Model`` output is an int8 our uint8 numpy array if activations\n{I8}are enabled for the "
              f"last layer, otherwise it is an int32 numpy array.\n\n{I8}Args:\n{I12}filename (str, optional): "),
    ("Model.pop_layer", f"\n{I8}Remove the last layer of the current model.\n{I11}"),
    ("Model.save", f"\n{I11}Saves all the model configuration (all layers and weights) to a\n{I11}file on disk.\n\n"
                   f"{I11}:param model_file: full path of the serialized model (.fbz file).\n{I11}:type model_file: "
                   f"str\n{I11}"),
    ("Model.to_buffer", f"\n{I11}Serializes all the model configuration (all layers and weights) to a\n{I11}bytes "
                        "buffer.\n          "),
    ("Model.sequences", "The list of layer sequences in the Model"), ("Model.learning", "The learning parameters set."),
    ("Model.layers", "Get a list of layers in current model."), ("Model.metrics", "The model metrics."),
    ("Model.input_shape", "The model input dimensions."), ("Model.layer_count", "The number of layers."),
    ("Model.ip_version", "The IP version this model is compatible with."),
    ("Model.device", "The Device the Model is mapped to."),
    ("Model.component_count", "A dictionary with the number of components per type used in the model."),
    ("Model.external_memory_size", "Returns model external memory usage in Bytes."),
    ("Model.power_events", "Copy of power events logged after inference"),
    ("Model.add_classes", f"{I12}num_add_classes (int): number of classes to add to the last layer\n\n{I8}Raises:\n"
                          f"{I12}RuntimeError: if the last layer is not compiled\n    "),
    ("Model.fit", "    input_labels (list(int), optional): input labels.\n        Must have one label per input, or "
                  "a single label for all inputs.\n"),
    ("Model.forward", f"{I12}:obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) uint8, int8 or\n{I12}int32 tensor."),
    ("Model.predict", f"{I12}ValueError: if the input doesn't match the required shape,\n{I16}format, or if the model "
                      f"only has an InputData layer.\n{I11}"),
    ("Model.evaluate", "      Note that the evaluation is based on the activation values of the last\n"),
    ("Optimizer", "Optimizer generic parameters"), ("LayerParams", "Parameters dictionary for layers"),
    ("LayerParams.get", f"\n{I8}Retrieve a value from the LayerParams object.\n\n{I8}Args:\n{I12}key (str): key of "
                        f"the value.\n{I8}Returns:\n{I12}int: value associated to the key.\n{I8}Raises:\n{I12}"
                        "ValueError: if the value is not present in the LayerParams object.\n    "),
    ("Layer.name", "The layer name."), ("Layer.input_dims", "The layer input dimensions."),
    ("Layer.output_dims", "The layer output dimensions."), ("Layer.variables", "The layer trainable variables."),
    ("Layer.parameters", "The layer parameters set."), ("Layer.input_bits", "The layer input bits."),
    ("Layer.output_signed", "Whether output is signed or not."), ("Layer.inbounds", "The layer inbound layers."),
    ("Layer.mapping", "The layer hardware mapping."), ("Layer.splittable", "The layer is splittable."),
    ("Layer.Mapping", "The mapping of a Layer on one or more Neural Processors."),
    ("Layer.Mapping.skipdma_stores", "a list of ``NP.Component`` objects."),
    ("ProgramParts", "\n      Represents a program splitted in different parts.\n\n      program_info is the program "
                     "part containing information on how to program the\n      device.\n      program_data is the "
                     "program part containing the program data required by nuvra\n      to configure the IP.\n"),
    ("Sequence", "\n          Represents a sequence of layers.\n\n          Sequences can be mapped in Software or on "
                 "a Device.\n          "),
    ("Sequence.passes", "Get the list of passes in this sequence."), ("Sequence.name", "The name of the sequence"),
    ("Sequence.program_parts", "Get the program, splitted in different parts"),
    ("Sequence.backend", "The backend type for this Sequence."), ("NP", "Neural Processor"),
    ("Pass.layers", "Get the list of layers in this pass."),
    ("ProgramMemoryRequired.input_descriptor_memory", MEMORY + "one input descriptor"),
    ("ProgramMemoryRequired.program_descriptors_memory", MEMORY + "program descriptors"),
    ("get_program_memory_infos", "Get the memory requirements for the given program"),
    ("MapConstraints.cnp_max_width_default", "The maximal width to map a CNP." + RETURNS + "int: the maximal witdh"),
    ("MapConstraints.cnp_max_filters_default", "The maximal filters number to map a CNP."),
    ("MapConstraints.device", "Return the device used." + RETURNS + ":obj:`nuvra.device`: the device."),
    ("MapConstraints.cnp_max_filters", "The filters number to use to map a CNP."),
    ("MapConstraints.hwpr_loopitself", "The HWPR NP loopitself feature."),
    ("HwVersion.vendor_id", "The hardware vendor identifier"), ("HwVersion.minor_rev", "The hardware minor revision"),
    ("Device.desc", "Returns the Device description\n:return: a string describing the Device"),
    ("Device.version", "The device hardware version."), ("Device.mesh", "The device Mesh layout"),
    ("NP.Mesh", "Represents the layout of a mesh of Neural Processors.\n\nContains configuration and event endpoints "
                "related to DMA (Direct Memory Access)\nfor managing data transfer across the mesh."),
    ("NP.Mesh.dma_event", "DMA event endpoint"), ("NP.Mesh.dma_conf", "DMA configuration endpoint"),
    ("NP.Mesh.skip_dmas", "Skip DMAs"), ("NP.Mesh.nps", "Neural processors"),
    ("NP.Mesh.np_input_sram_size", "Size of shared input packet" + SRAM),
    ("NP.Mesh.np_weight_sram_size", "Size of shared filter" + SRAM),
    ("NP.Ident", "Represents the unique identifier for a Hardware Component.\n\nThis includes the component position "
                 "on the mesh (row, column, id) and\nthe channel index for skip DMAs."),
    ("NP.Ident.col", "Hardware Component column number"), ("NP.Ident.channel", "Component channel"),
    ("NP.Info", "Describes a hardware component.\n\nIncludes its unique identifier and the set of hardware types it "
                "supports."),
    ("NP.Info.types", "Hardware Component supported types"), ("NP.NpSpace.shape", "Shape of the space"),
    ("NP.NpSpace", "Represents the part of the input used by this Neural Processor if a layer is split over several "
                   "NPs."),
    ("NP.MemoryInfo", "Represents memory usage information for a Hardware Component.\n\nThis includes memory used by "
                      "inputs, weights, and any external buffers.\nAll sizes are in bytes."),
    ("NP.MemoryInfo.external_size", "External memory size. (Bytes)"),
    ("NP.Component", "An Nuvra component"), ("NP.Component.mem_info", "Hardware Component memory information"),
    ("NP.Component.filters", "Number of filters" + BY_NP),
    ("NP.Component.start_neuron", "Index of the first filter" + BY_NP),
    ("NP.Component.spatial_partition", "Spatial partition" + BY_NP),
    ("NP.Component.single_buffer", "Neural Processor uses a single or dual input buffer"),
    ("HardwareDevice.learn_enabled", "Property that enables/disables learning on current program (if\npossible)."),
    ("HardwareDevice.devices", f"\n{I8}Returns the full list of available hardware devices\n\n{I8}:return: list of "
                               f"Device\n{I8}"),
    ("SocDriver.clock_mode", "Clock mode of the Qrix."), ("PowerMeter.events", "Retrieve all pending events"),
    ("PowerEvent.voltage", "Voltage value in \u00b5V"),
    ("boardVlq7300", "Spi flash controller for the vlq7300meant for testing, debugging and validation only."),
]


def test_docstrings(core):
    for path, text in DOCS:
        doc = functools.reduce(getattr, path.split("."), core).__doc__
        signed = doc.startswith(path.split(".")[-1] + "(")  # a function: its signature comes first
        assert text in (doc, inspect.cleandoc(doc)) or (signed or path == "Model") and text in doc, path
