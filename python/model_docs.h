// Docstrings of the Python Model class.
#pragma once

namespace nuvra::docs {

inline constexpr const char* kModelDoc =
    "\n"
    "        An Nuvra neural ``Model``, represented as a hierarchy of layers.\n"
    "\n"
    "        The ``Model`` class is the main interface to Nuvra and allows:\n"
    "\n"
    "        - to create an empty ``Model`` to which you can add layers programmatically\n"
    "          using the sequential API,\n"
    "        - to reload a full ``Model`` from a serialized file or a memory buffer,\n"
    "        - to create a new ``Model`` from a list of layers taken from an existing\n"
    "          ``Model``.\n"
    "\n"
    "        It provides methods to instantiate, train, test and save models.\n"
    "\n"
    "        The ``Model`` input and output shapes have 4 dimensions, the first one being\n"
    "        the number of samples.\n"
    "\n"
    "        The ``Model`` accepts only uint8 tensors as inputs, whose values are\n"
    "        encoded using either 1, 2, 4 or 8-bit precision (i.e. whose max value is\n"
    "        1, 3, 15 or 255 respectively).\n"
    "\n"
    "        If the inputs are 8-bit, then the first layer of the ``Model`` must be a\n"
    "        convolutional layer with either 1 or 3 input channels.\n"
    "\n"
    "        The ``Model`` output is an int8 our uint8 numpy array if activations\n"
    "        are enabled for the last layer, otherwise it is an int32 numpy array.\n"
    "\n"
    "        Args:\n"
    "            filename (str, optional): path to the serialized Model.\n"
    "                If None, an empty sequential model will be created, or filled\n"
    "                with the layers in the layers parameter.\n"
    "            layers (:obj:`list`, optional): list of layers that will be copied\n"
    "                to the new model. If the list does not start with an input layer,\n"
    "                it will be added automatically.\n"
    "    ";

inline constexpr const char* kModelFileInitDoc =
    "\n"
    "        Reload a full ``Model`` from a serialized file.\n"
    "\n"
    "        Args:\n"
    "            filename (str): path to the serialized Model.\n"
    "                If None, an empty sequential model will be created, or filled\n"
    "                with the layers in the layers parameter.\n"
    "    ";

inline constexpr const char* kModelLayersInitDoc =
    "\n"
    "        Create an empty ``Model`` or from a list of layers taken from an existing ``Model``\n"
    "\n"
    "        Args:\n"
    "            layers (:obj:`list`, optional): list of layers that will be copied\n"
    "                to the new model. If the list does not start with an input layer,\n"
    "                it will be added automatically.\n"
    "    ";

inline constexpr const char* kModelAddDoc =
    "\n"
    "        Add a layer to the current model.\n"
    "\n"
    "        A list of inbound layers can optionally be specified.\n"
    "        These layers must already be included in the model.\n"
    "        if no inbound layer is specified, and the layer is not the first layer\n"
    "        in the model, the last included layer will be used as inbound layer.\n"
    "\n"
    "        :param layer: layer instance to be added to the model\n"
    "        :type layer: one of the available layers\n"
    "        :param inbound_layers: an optional list of inbound layers\n"
    "        :type inbound_layers: a list of `Layer`\n"
    "    ";

inline constexpr const char* kModelPopLayerDoc =
    "\n"
    "        Remove the last layer of the current model.\n"
    "           ";

inline constexpr const char* kModelCompileDoc =
    "\n"
    "      Select and prepare the optimizer for learning of the last layer.\n"
    "\n"
    "      Args:\n"
    "          optimizer(:obj:`nuvra.LearningParams`): the optimizer used for learning\n"
    "    ";

inline constexpr const char* kModelGetLayerByNameDoc =
    "\n"
    "      Get a reference to a specific layer.\n"
    "\n"
    "      This method allows a deeper introspection of the model by providing\n"
    "      access to the underlying layers.\n"
    "\n"
    "      :param layer_name: name of the layer to retrieve\n"
    "      :type layer_name: str\n"
    "\n"
    "      :return: a ``Layer``\n"
    "    ";

inline constexpr const char* kModelGetLayerByIndexDoc =
    "\n"
    "      Get a reference to a specific layer.\n"
    "\n"
    "      This method allows a deeper introspection of the model by providing\n"
    "      access to the underlying layers.\n"
    "\n"
    "      :param layer_index: index of the layer to retrieve\n"
    "      :type layer_index: int\n"
    "\n"
    "      :return: a ``Layer``\n"
    "    ";

inline constexpr const char* kModelSaveDoc =
    "\n"
    "           Saves all the model configuration (all layers and weights) to a\n"
    "           file on disk.\n"
    "\n"
    "           :param model_file: full path of the serialized model (.fbz file).\n"
    "           :type model_file: str\n"
    "           ";

inline constexpr const char* kModelToBufferDoc =
    "\n"
    "           Serializes all the model configuration (all layers and weights) to a\n"
    "           bytes buffer.\n"
    "          ";

inline constexpr const char* kModelAddClassesDoc =
    "\n"
    "        Adds classes to the last layer of the model.\n"
    "\n"
    "        A model with a compiled last layer is ready to learn using the Nuvra\n"
    "        built-in learning algorithm. This function allows to add new classes\n"
    "        (i.e. new neurons) to the last layer, keeping the previously learned\n"
    "        neurons.\n"
    "\n"
    "        Args:\n"
    "            num_add_classes (int): number of classes to add to the last layer\n"
    "\n"
    "        Raises:\n"
    "            RuntimeError: if the last layer is not compiled\n"
    "    ";

inline constexpr const char* kModelFitFloatDoc =
    "\n"
    "Trains a set of images or events through the model.\n"
    "\n"
    "Trains the model with the specified input tensor (numpy array).\n"
    "\n"
    "Args:\n"
    "    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor\n"
    "    input_labels (float, optional): input label\n"
    "    batch_size (int, optional): maximum number of inputs that should be\n"
    "        processed at a time.\n"
    "\n"
    "Returns:\n"
    "    :obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) int8 or uint8 or int32\n"
    "    tensor.\n"
    "\n"
    "Raises:\n"
    "    TypeError: if the input is not a numpy.ndarray.\n"
    "    ValueError: if the input doesn't match the required shape,\n"
    "        format, etc.\n"
    "    ";

#define NUVRA_FIT_LABELS_DOC(labels_line)                                  \
  "\n"                                                                     \
  "Trains a set of images or events through the model.\n"                  \
  "\n"                                                                     \
  "Trains the model with the specified input tensor (numpy array).\n"      \
  "\n"                                                                     \
  "Args:\n"                                                                \
  "    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor\n"       \
  "    " labels_line "\n"                                                  \
  "        Must have one label per input, or a single label for all inputs.\n" \
  "        If a label exceeds the defined number of classes, the input will\n" \
  "        be discarded. (Default value = None).\n"                        \
  "    batch_size (int, optional): maximum number of inputs that should be\n" \
  "        processed at a time.\n"                                         \
  "\n"                                                                     \
  "Returns:\n"                                                             \
  "    :obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) int8 or int8 or int32\n" \
  "    tensor.\n"                                                          \
  "\n"                                                                     \
  "Raises:\n"                                                              \
  "    TypeError: if the input is not a numpy.ndarray.\n"                  \
  "    ValueError: if the input doesn't match the required shape,\n"       \
  "        format, etc.\n"                                                 \
  "    "

inline constexpr const char* kModelFitArrayDoc =
    NUVRA_FIT_LABELS_DOC("input_labels (:obj:`numpy.ndarray`, optional): input labels.");
inline constexpr const char* kModelFitListDoc = NUVRA_FIT_LABELS_DOC("input_labels (list(int), optional): input labels.");
#undef NUVRA_FIT_LABELS_DOC

inline constexpr const char* kModelForwardDoc =
    "\n"
    "        Forwards a set of inputs through the model.\n"
    "\n"
    "        Forwards an input tensor through the model and returns an output tensor.\n"
    "\n"
    "        Args:\n"
    "            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor\n"
    "            batch_size (int, optional): maximum number of inputs that should be\n"
    "                processed at a time\n"
    "\n"
    "        Returns:\n"
    "            :obj:`numpy.ndarray` : a (n, out_x, out_y, out_c) uint8, int8 or\n"
    "            int32 tensor.\n"
    "\n"
    "        Raises:\n"
    "            TypeError: if the input is not a numpy.ndarray.\n"
    "            ValueError: if the inputs doesn't match the required shape,\n"
    "                format, etc.\n"
    "           ";

inline constexpr const char* kModelPredictDoc =
    "\n"
    "        Predicts a set of inputs through the model.\n"
    "\n"
    "        Forwards an input tensor through the model and returns a float array.\n"
    "\n"
    "        It applies ONLY to models without an activation on the last layer.\n"
    "        The output values are obtained from the model discrete potentials by\n"
    "        applying a shift and a scale.\n"
    "\n"
    "        Args:\n"
    "            inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor\n"
    "            batch_size (int, optional): maximum number of inputs that should be\n"
    "                processed at a time\n"
    "\n"
    "        Returns:\n"
    "           :obj:`numpy.ndarray`: a (n, w, h, c) float tensor.\n"
    "\n"
    "        Raises:\n"
    "            TypeError: if the input is not a numpy.ndarray.\n"
    "            RuntimeError: if the model last layer has an activation.\n"
    "            ValueError: if the input doesn't match the required shape,\n"
    "                format, or if the model only has an InputData layer.\n"
    "           ";

inline constexpr const char* kModelEvaluateDoc =
    "\n"
    "      Returns the model class accuracy.\n"
    "\n"
    "      Forwards an input tensor through the model and compute accuracy\n"
    "      based on labels.\n"
    "      If the number of output neurons is greater than the number of classes,\n"
    "      the neurons are automatically assigned to a class by dividing their id\n"
    "      by the number of classes.\n"
    "\n"
    "      Note that the evaluation is based on the activation values of the last\n"
    "      layer: for most use cases, you may want to disable activations for that\n"
    "      layer (ie setting ``activation=False``) to get a better\n"
    "      accuracy.\n"
    "\n"
    "      Args:\n"
    "          inputs (:obj:`numpy.ndarray`): a (n, x, y, c) uint8 tensor\n"
    "          labels (:obj:`numpy.ndarray`): a (n) tensor of labels for the inputs\n"
    "          num_classes (int, optional): optional parameter (defaults to the\n"
    "              number of neurons in the last layer).\n"
    "          batch_size (int, optional): maximum number of inputs that should be\n"
    "              processed at a time\n"
    "\n"
    "      Returns:\n"
    "          float: the accuracy of the model to predict the labels based on the\n"
    "          inputs.\n"
    "           ";

}  // namespace nuvra::docs
