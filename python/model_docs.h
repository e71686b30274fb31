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

}  // namespace nuvra::docs
